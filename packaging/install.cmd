@echo off
rem Installs kvParcelin: copies the DLLs into a program folder and registers
rem each one with the regsvr32 of its own bitness.
rem
rem   install.cmd [all^|x64^|x86] [FOLDER]
rem
rem   all (default)  on a 64-bit Windows both DLLs (for 64-bit and for 32-bit
rem                  application pools), on a 32-bit Windows the x86 DLL
rem   x64 or x86     only that DLL
rem   FOLDER         where the DLLs go (default: %ProgramFiles%\kvParcelin)
rem
rem Run it from an elevated command prompt. Running it again over an installed
rem copy replaces the DLLs: stop the application pools that have loaded the
rem component first (or "iisreset /stop"), a loaded DLL cannot be replaced.
setlocal EnableExtensions

rem Only administrators can read the LocalService account's registry hive.
reg query "HKU\S-1-5-19" >nul 2>&1
if errorlevel 1 goto :not_elevated

set "KV_HERE=%~dp0"
set "KV_ARCH=%~1"
if "%KV_ARCH%"=="" set "KV_ARCH=all"
set "KV_DIR=%~2"
if not "%KV_DIR%"=="" goto :have_dir
set "KV_DIR=%ProgramFiles%\kvParcelin"
rem A 32-bit prompt on a 64-bit Windows: the 64-bit program folder.
if defined ProgramW6432 set "KV_DIR=%ProgramW6432%\kvParcelin"
:have_dir

rem On a 64-bit Windows System32 holds the 64-bit regsvr32 and SysWOW64 the
rem 32-bit one; a 32-bit prompt reaches the real System32 as Sysnative.
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
  echo install.cmd: unknown choice "%KV_ARCH%": use all, x64 or x86.
  exit /b 2
)
if "%KV_WANT64%%KV_OS64%"=="yesno" (
  echo install.cmd: the x64 DLL needs a 64-bit Windows.
  exit /b 2
)

set "KV_FAILED=no"
if "%KV_WANT64%"=="yes" call :install x64 "%KV_REGSVR64%"
if "%KV_WANT32%"=="yes" call :install x86 "%KV_REGSVR32%"
if "%KV_FAILED%"=="yes" (
  echo install.cmd: not everything was installed, see above.
  exit /b 1
)
echo install.cmd: done. uninstall.cmd removes the component again.
exit /b 0

:not_elevated
echo install.cmd: administrator rights are needed. Open a command prompt with
echo "Run as administrator" and run install.cmd from it again.
exit /b 5

rem :install ARCH REGSVR32 - copies ARCH\kvParcelin.dll and registers the copy.
:install
set "KV_TARGET=%KV_DIR%\%~1"
if not exist "%KV_TARGET%\" mkdir "%KV_TARGET%"
copy /y "%KV_HERE%%~1\kvParcelin.dll" "%KV_TARGET%\kvParcelin.dll" >nul
if errorlevel 1 goto :copy_failed
%2 /s "%KV_TARGET%\kvParcelin.dll"
if errorlevel 1 goto :register_failed
echo %~1: registered "%KV_TARGET%\kvParcelin.dll"
exit /b 0

:copy_failed
echo %~1: cannot copy kvParcelin.dll to "%KV_TARGET%". If an application pool has
echo %~1: loaded it, stop the pool (or run "iisreset /stop") and try again.
set "KV_FAILED=yes"
exit /b 1

:register_failed
echo %~1: %2 could not register "%KV_TARGET%\kvParcelin.dll" (exit code %errorlevel%).
set "KV_FAILED=yes"
exit /b 1
