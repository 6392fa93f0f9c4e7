#include "cleanup/ErrorReport.h"

#include <windows.h>

#include <exception>
#include <system_error>

namespace {

constexpr const char* ErrorCaption = "LayerCleanup";

// Uses only the exception's own text, so reporting cannot fail for lack of memory.
int ReportFailure(const char* description, const int status) noexcept
{
    MessageBoxA(nullptr, description, ErrorCaption, MB_OK | MB_ICONERROR);
    return status != 0 ? status : 1;
}

} // namespace

int RunReportingErrors(int (*run)()) noexcept
{
    try {
        return run();
    } catch (const std::system_error& error) {
        return ReportFailure(error.what(), error.code().value());
    } catch (const std::exception& error) {
        return ReportFailure(error.what(), 0);
    } catch (...) {
        return ReportFailure("An unexpected error ended the run.", 0);
    }
}
