// Runs a program and answers its message boxes for a user who has no display
// to see them on, printing what each box said. Exits with the program's status.
//
//   AnswerBoxes.exe PROGRAM [ARGUMENT...]

#include "support/BoxAnswerer.h"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

// The box's ANSI text, printed as UTF-8.
void Print(const std::string& ansi)
{
    std::wstring text(ansi.size(), L'\0');
    text.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                                             text.data(), static_cast<int>(text.size()))));
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
    static_cast<void>(std::fwrite(utf8.data(), 1, utf8.size(), stdout));
    static_cast<void>(std::fflush(stdout));
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        static_cast<void>(std::fputs("usage: AnswerBoxes PROGRAM [ARGUMENT...]\n", stderr));
        return 2;
    }
    const std::vector<std::wstring> arguments(argv + 2, argv + argc);
    try {
        const ProgramRun run = RunAnsweringBoxes(argv[1], arguments, L"", [](const SeenBox& box) {
            Print("Message box \"" + box.caption + "\": " + box.text + "\n");
        });
        if (!run.failure.empty()) {
            static_cast<void>(std::fprintf(stderr, "AnswerBoxes: %s\n", run.failure.c_str()));
        }
        return static_cast<int>(run.exitCode);
    } catch (const std::exception& error) {
        static_cast<void>(std::fprintf(stderr, "AnswerBoxes: %s\n", error.what()));
        return 2;
    }
}
