# Writes a SHA256SUMS file for one program, in the format `sha256sum -c` reads.
#   cmake -DPROGRAM=path/to/LayerCleanup.exe -DOUTPUT=path/to/SHA256SUMS -P WriteChecksums.cmake
file(SHA256 "${PROGRAM}" digest)
get_filename_component(name "${PROGRAM}" NAME)
file(WRITE "${OUTPUT}" "${digest}  ${name}\n")
