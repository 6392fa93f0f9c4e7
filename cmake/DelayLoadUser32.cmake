# USER32 is bound only when the first message box is shown: a run with nothing
# to remove never pays for USER32's start-up. The import library that makes
# MessageBoxA a delay-loaded import is built here with the mingw binutils'
# dlltool; the mingw-w64 runtime supplies the loader helper it calls.

find_program(MINGW_DLLTOOL ${MINGW_TRIPLET}-dlltool REQUIRED)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # 32-bit __stdcall names carry their argument size; the DLL exports them bare.
  set(MESSAGEBOXA_ARGUMENT_BYTES "@16")
  set(dlltool_kill_at --kill-at)
else()
  set(MESSAGEBOXA_ARGUMENT_BYTES "")
  set(dlltool_kill_at)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/user32-delay.def.in ${PROJECT_BINARY_DIR}/user32-delay.def @ONLY)

add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/libuser32-delay.a
  COMMAND ${MINGW_DLLTOOL} ${dlltool_kill_at} --input-def ${PROJECT_BINARY_DIR}/user32-delay.def
          --output-delaylib ${PROJECT_BINARY_DIR}/libuser32-delay.a --dllname USER32.dll
  DEPENDS ${PROJECT_BINARY_DIR}/user32-delay.def
  COMMENT "Making the delay-load import library for USER32")
add_custom_target(user32_delay_library DEPENDS ${PROJECT_BINARY_DIR}/libuser32-delay.a)

add_library(user32_delayed INTERFACE)
add_dependencies(user32_delayed user32_delay_library)
target_link_libraries(user32_delayed INTERFACE ${PROJECT_BINARY_DIR}/libuser32-delay.a)
