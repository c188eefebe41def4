@echo off
rem Removes kvParcelin: unregisters each installed DLL with the regsvr32 of its
rem own bitness and deletes it.
rem
rem   uninstall.cmd [all^|x64^|x86] [FOLDER]
rem
rem   all (default)  every DLL installed in FOLDER
rem   x64 or x86     only that DLL
rem   FOLDER         where install.cmd put them (default: %ProgramFiles%\kvParcelin)
rem
rem Run it from an elevated command prompt, after stopping the application
rem pools that have loaded the component (or "iisreset /stop").
setlocal EnableExtensions

rem Only administrators can read the LocalService account's registry hive.
reg query "HKU\S-1-5-19" >nul 2>&1
if errorlevel 1 goto :not_elevated

set "KV_ARCH=%~1"
if "%KV_ARCH%"=="" set "KV_ARCH=all"
set "KV_DIR=%~2"
if not "%KV_DIR%"=="" goto :have_dir
set "KV_DIR=%ProgramFiles%\kvParcelin"
if defined ProgramW6432 set "KV_DIR=%ProgramW6432%\kvParcelin"
:have_dir

set "KV_OS64=yes"
if /i "%PROCESSOR_ARCHITECTURE%"=="x86" if not defined PROCESSOR_ARCHITEW6432 set "KV_OS64=no"
set "KV_REGSVR64=%SystemRoot%\System32\regsvr32.exe"
if defined PROCESSOR_ARCHITEW6432 set "KV_REGSVR64=%SystemRoot%\Sysnative\regsvr32.exe"
set "KV_REGSVR32=%SystemRoot%\SysWOW64\regsvr32.exe"
if "%KV_OS64%"=="no" set "KV_REGSVR32=%SystemRoot%\System32\regsvr32.exe"

set "KV_WANT64=no"
set "KV_WANT32=no"
if /i "%KV_ARCH%"=="all" set "KV_WANT32=yes"
if /i "%KV_ARCH%"=="all" set "KV_WANT64=%KV_OS64%"
if /i "%KV_ARCH%"=="x64" set "KV_WANT64=yes"
if /i "%KV_ARCH%"=="x86" set "KV_WANT32=yes"
if "%KV_WANT64%%KV_WANT32%"=="nono" (
  echo uninstall.cmd: unknown choice "%KV_ARCH%": use all, x64 or x86.
  exit /b 2
)

set "KV_FAILED=no"
set "KV_FOUND=no"
if "%KV_WANT64%"=="yes" call :uninstall x64 "%KV_REGSVR64%"
if "%KV_WANT32%"=="yes" call :uninstall x86 "%KV_REGSVR32%"
rem The ProgID and the type library's keys are shared by both bitnesses:
rem the DLL that stays registers them again.
if "%KV_WANT64%"=="no" if exist "%KV_DIR%\x64\kvParcelin.dll" call :reregister x64 "%KV_REGSVR64%"
if "%KV_WANT32%"=="no" if exist "%KV_DIR%\x86\kvParcelin.dll" call :reregister x86 "%KV_REGSVR32%"
if "%KV_FAILED%"=="yes" (
  echo uninstall.cmd: not everything was removed, see above.
  exit /b 1
)
if "%KV_FOUND%"=="no" echo uninstall.cmd: nothing to remove in "%KV_DIR%".
rmdir "%KV_DIR%" >nul 2>&1
exit /b 0

:not_elevated
echo uninstall.cmd: administrator rights are needed. Open a command prompt with
echo "Run as administrator" and run uninstall.cmd from it again.
exit /b 5

rem :uninstall ARCH REGSVR32 - unregisters and deletes ARCH\kvParcelin.dll.
:uninstall
set "KV_TARGET=%KV_DIR%\%~1"
if not exist "%KV_TARGET%\kvParcelin.dll" exit /b 0
set "KV_FOUND=yes"
%2 /u /s "%KV_TARGET%\kvParcelin.dll"
if errorlevel 1 goto :unregister_failed
del "%KV_TARGET%\kvParcelin.dll" >nul 2>&1
if exist "%KV_TARGET%\kvParcelin.dll" goto :delete_failed
rmdir "%KV_TARGET%" >nul 2>&1
echo %~1: unregistered and deleted "%KV_TARGET%\kvParcelin.dll"
exit /b 0

rem :reregister ARCH REGSVR32 - registers the DLL that stays once more.
:reregister
%2 /s "%KV_DIR%\%~1\kvParcelin.dll"
if errorlevel 1 goto :reregister_failed
echo %~1: stays installed, registered again
exit /b 0

:reregister_failed
echo %~1: %2 could not register "%KV_DIR%\%~1\kvParcelin.dll" again (exit code %errorlevel%).
echo %~1: run install.cmd %~1 to repair it.
set "KV_FAILED=yes"
exit /b 1

:unregister_failed
echo %~1: %2 could not unregister "%KV_TARGET%\kvParcelin.dll" (exit code %errorlevel%).
set "KV_FAILED=yes"
exit /b 1

:delete_failed
echo %~1: unregistered, but cannot delete "%KV_TARGET%\kvParcelin.dll". If an
echo %~1: application pool has loaded it, stop the pool and delete it by hand.
set "KV_FAILED=yes"
exit /b 1
