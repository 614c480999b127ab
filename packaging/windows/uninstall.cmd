@echo off
rem Removes the Duoview2 virtual camera that install.cmd installed: unregisters
rem the modules in "%ProgramFiles%\Duoview2" with regsvr32 and deletes that
rem folder. Needs administrator rights. Runs from the package or from its copy
rem in the installation folder. The user's own camera choices
rem (HKCU\Software\VANTO Automation\stereoWebcam) are kept.
rem
rem   uninstall.cmd [/q]    /q: do not wait for a key at the end
rem
rem Exit status: 0 removed (or nothing was installed); 5 not run as
rem administrator; otherwise the error level of the step that failed
rem (regsvr32 /u, or 1 when the folder could not be deleted).
setlocal EnableExtensions
set "DV_PAUSE=1"
if /i "%~1"=="/q" set "DV_PAUSE="

net session >nul 2>&1
if errorlevel 1 (
    fltmc >nul 2>&1
    if errorlevel 1 goto notAdmin
)

set "DV_SYSTEM=%SystemRoot%\System32"
if defined PROCESSOR_ARCHITEW6432 set "DV_SYSTEM=%SystemRoot%\Sysnative"
set "DV_TARGET=%ProgramFiles%\Duoview2"
if defined ProgramW6432 set "DV_TARGET=%ProgramW6432%\Duoview2"
set "DV_RC=0"

if not exist "%DV_TARGET%\" (
    echo Duoview2 is not installed: there is no folder "%DV_TARGET%".
    goto finish
)
echo Removing Duoview2 from "%DV_TARGET%"

rem On 64-bit Windows the 32-bit module is registered by SysWOW64's regsvr32
rem (and not at all where Windows lacks its 32-bit subsystem); on 32-bit
rem Windows System32's regsvr32 is the 32-bit one.
set "DV_ARCH=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "DV_ARCH=%PROCESSOR_ARCHITEW6432%"
if /i "%DV_ARCH%"=="x86" (
    call :unregister "%DV_SYSTEM%\regsvr32.exe" x86
) else (
    call :unregister "%DV_SYSTEM%\regsvr32.exe" x64
    if not errorlevel 1 call :unregister "%SystemRoot%\SysWOW64\regsvr32.exe" x86
)
if errorlevel 1 goto failed

rem From here to the end is one block: when this script is the copy inside the
rem folder it deletes, cmd has read all it runs before the script is gone.
cd /d "%SystemRoot%"
(
    rd /s /q "%DV_TARGET%" >nul 2>&1
    if exist "%DV_TARGET%\" (
        echo uninstall.cmd: deleting the folder "%DV_TARGET%" failed; an application may still be using the camera.
        if defined DV_PAUSE pause
        exit /b 1
    )
    echo Duoview2 is removed.
    if defined DV_PAUSE pause
    exit /b 0
)

:failed
echo uninstall.cmd: %DV_STEP% failed ^(error level %DV_RC%^).
goto finish

:notAdmin
echo Please run uninstall.cmd as administrator (right-click, Run as administrator).
set "DV_RC=5"
goto finish

:finish
if defined DV_PAUSE pause
exit /b %DV_RC%

rem unregister <regsvr32> <x64|x86>: unregisters the installed module of that
rem bitness if it is there. Sets DV_STEP and DV_RC and returns non-zero on failure.
:unregister
if not exist "%DV_TARGET%\%~2\Duoview2.dll" exit /b 0
if not exist "%~1" (
    echo   %~2\Duoview2.dll: not unregistered, this Windows has no %~1
    exit /b 0
)
"%~1" /u /s "%DV_TARGET%\%~2\Duoview2.dll"
if not errorlevel 1 goto unregistered
rem A module whose registration is already gone (removed by hand or by
rem another program) refuses a second unregistration: it is registered once
rem more, so that its unregistration removes every entry it may have left.
"%~1" /s "%DV_TARGET%\%~2\Duoview2.dll"
"%~1" /u /s "%DV_TARGET%\%~2\Duoview2.dll"
if errorlevel 1 (
    set "DV_RC=%errorlevel%"
    set "DV_STEP=unregistering %~2\Duoview2.dll with %~1"
    exit /b 1
)
:unregistered
echo   unregistered %~2\Duoview2.dll
exit /b 0
