@echo off
rem Runs LayerCleanup's tests on this account, against the LayerCleanup.exe
rem beside this file, and prints a summary: how many cases passed, failed and
rem were skipped, and why. GoogleTest's full report is written beside it, to
rem LayerCleanupTests.xml. Exits with the tests' status (0: none failed).
rem
rem The tests change nothing on this account but what they make and remove
rem themselves; cases that would delete or lock the Layers key run only on an
rem account marked as disposable, and are skipped anywhere else.
rem
rem A double-click keeps the window open at the end until a key is pressed;
rem where nobody is there to press one (a CI runner), run it as RunTests.cmd <NUL
setlocal
cd /d "%~dp0"
LayerCleanupTests.exe --gtest_filter=-Deliverable32.* "--gtest_output=xml:%~dp0LayerCleanupTests.xml" %*
set status=%errorlevel%
pause
exit /b %status%
