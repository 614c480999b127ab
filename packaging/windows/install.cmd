@echo off
rem Installs the Duoview2 virtual camera for this computer: copies the modules
rem into "%ProgramFiles%\Duoview2" and registers them there with regsvr32, the
rem 64-bit module for 64-bit applications and the 32-bit module for 32-bit ones.
rem Needs administrator rights. Works from any current folder: the package is
rem found next to this script.
rem
rem   install.cmd [/q]      /q: do not wait for a key at the end
rem
rem Exit status: 0 installed; 5 not run as administrator; otherwise the error
rem level of the step that failed (a copy, or regsvr32: 3 = the module could
rem not be loaded, 4 = no registration entry, 5 = registration failed).
setlocal EnableExtensions
set "DV_PAUSE=1"
if /i "%~1"=="/q" set "DV_PAUSE="
set "DV_SOURCE=%~dp0"

rem "net session" needs administrator rights; fltmc is asked as well because
rem "net session" also fails where the Server service is stopped.
net session >nul 2>&1
if errorlevel 1 (
    fltmc >nul 2>&1
    if errorlevel 1 goto notAdmin
)

rem The Windows architecture, also when this runs in a 32-bit cmd on 64-bit
rem Windows (there System32 means SysWOW64, and Sysnative the real System32).
set "DV_ARCH=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "DV_ARCH=%PROCESSOR_ARCHITEW6432%"
set "DV_SYSTEM=%SystemRoot%\System32"
if defined PROCESSOR_ARCHITEW6432 set "DV_SYSTEM=%SystemRoot%\Sysnative"
set "DV_TARGET=%ProgramFiles%\Duoview2"
if defined ProgramW6432 set "DV_TARGET=%ProgramW6432%\Duoview2"

if /i "%DV_ARCH%"=="AMD64" goto windows64
if /i "%DV_ARCH%"=="x86" goto windows32
echo install.cmd: this package is for x64 and x86 Windows; this computer reports "%DV_ARCH%".
set "DV_RC=1"
goto finish

:windows64
echo Installing Duoview2 for 64-bit and 32-bit applications into "%DV_TARGET%"
call :copyModule x64
if errorlevel 1 goto failed
call :copyModule x86
if errorlevel 1 goto failed
call :copyDocuments
if errorlevel 1 goto failed
call :register "%DV_SYSTEM%\regsvr32.exe" x64
if errorlevel 1 goto failed
rem Windows without its 32-bit subsystem (WoW64) has no SysWOW64\regsvr32.exe
rem and runs no 32-bit applications: then only the 64-bit camera is registered.
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
    call :register "%SystemRoot%\SysWOW64\regsvr32.exe" x86
) else (
    echo   x86\Duoview2.dll: not registered, this Windows has no 32-bit subsystem ^(SysWOW64\regsvr32.exe^)
    ver >nul
)
if errorlevel 1 goto failed
goto installed

:windows32
echo Installing Duoview2 for 32-bit applications into "%DV_TARGET%"
call :copyModule x86
if errorlevel 1 goto failed
call :copyDocuments
if errorlevel 1 goto failed
call :register "%DV_SYSTEM%\regsvr32.exe" x86
if errorlevel 1 goto failed
goto installed

:installed
echo Duoview2 is installed. Choose "Vanto 3D Virtual Camera2" as the camera in your video application.
echo To remove it, run "%DV_TARGET%\uninstall.cmd" as administrator.
set "DV_RC=0"
goto finish

:failed
echo install.cmd: %DV_STEP% failed ^(error level %DV_RC%^).
echo What was installed before this step stays; uninstall.cmd removes it.
goto finish

:notAdmin
echo Please run install.cmd as administrator (right-click, Run as administrator).
set "DV_RC=5"
goto finish

:finish
if defined DV_PAUSE pause
exit /b %DV_RC%

rem copyModule <x64|x86>: copies <bitness>\Duoview2.dll from the package into
rem the installation folder. Sets DV_STEP and DV_RC and returns non-zero on failure.
:copyModule
if not exist "%DV_SOURCE%%~1\Duoview2.dll" (
    set "DV_STEP=finding %~1\Duoview2.dll beside install.cmd"
    set "DV_RC=2"
    exit /b 2
)
if not exist "%DV_TARGET%\%~1\" mkdir "%DV_TARGET%\%~1"
copy /y "%DV_SOURCE%%~1\Duoview2.dll" "%DV_TARGET%\%~1\Duoview2.dll" >nul
if errorlevel 1 (
    set "DV_RC=%errorlevel%"
    set "DV_STEP=copying %~1\Duoview2.dll into the installation folder, which an application using the camera may hold open,"
    exit /b 1
)
echo   copied %~1\Duoview2.dll
exit /b 0

rem copyDocuments: uninstall.cmd, README.txt and its pictures go into the
rem installation folder, so the camera can be removed after the package is deleted.
:copyDocuments
for %%F in (uninstall.cmd README.txt) do (
    copy /y "%DV_SOURCE%%%F" "%DV_TARGET%\%%F" >nul
    if errorlevel 1 (
        set "DV_STEP=copying %%F into the installation folder"
        set "DV_RC=1"
        exit /b 1
    )
)
if not exist "%DV_SOURCE%guide\*.png" exit /b 0
if not exist "%DV_TARGET%\guide\" mkdir "%DV_TARGET%\guide"
copy /y "%DV_SOURCE%guide\*.png" "%DV_TARGET%\guide\" >nul
if errorlevel 1 (
    set "DV_STEP=copying the guide's pictures into the installation folder"
    set "DV_RC=1"
    exit /b 1
)
exit /b 0

rem register <regsvr32> <x64|x86>: registers the installed module of that
rem bitness. Sets DV_STEP and DV_RC and returns non-zero on failure.
:register
"%~1" /s "%DV_TARGET%\%~2\Duoview2.dll"
if errorlevel 1 (
    set "DV_RC=%errorlevel%"
    set "DV_STEP=registering %~2\Duoview2.dll with %~1"
    exit /b 1
)
echo   registered %~2\Duoview2.dll
exit /b 0
