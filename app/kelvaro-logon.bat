@echo off
rem Runs the lorimex.exe beside it once per user: a run overwrites the user's
rem values of the same name. Logs each logon; a log past 64 KB becomes .old.
set "lorimex=%~dp0lorimex.exe"
set "log=%APPDATA%\Norvane\lorimex.log"
set "logon=%DATE% %TIME% %COMPUTERNAME% %USERDOMAIN%\%USERNAME%"
if not exist "%APPDATA%\Norvane" mkdir "%APPDATA%\Norvane"
if exist "%log%" for %%L in ("%log%") do if %%~zL GTR 65536 move /y "%log%" "%log%.old" >nul 2>&1 || type nul 2>nul >"%log%"
setlocal EnableDelayedExpansion
rem Where a policy forbids reg.exe the guard below cannot work: no run.
reg query "HKCU\Software" >nul 2>&1
if errorlevel 1 (
  >>"!log!" echo !logon!: reg.exe cannot read the registry, lorimex not run
  echo reg.exe cannot read the registry: lorimex not run
  goto :eof
)
reg query "HKCU\Software\Norvane\Kelvaro" >nul 2>&1
if not errorlevel 1 (
  >>"!log!" echo !logon!: Kelvaro settings found, lorimex not run
  goto :eof
)
rem Without Kelvaro on this PC its default profile has nothing to copy.
reg query "HKU\.DEFAULT\Software\Norvane\Kelvaro" >nul 2>&1
if errorlevel 1 (
  >>"!log!" echo !logon!: Kelvaro is not installed on this PC: lorimex not run
  goto :eof
)
if not exist "!lorimex!" (
  >>"!log!" echo !logon!: no Kelvaro settings, lorimex.exe not found at !lorimex!
  echo lorimex.exe not found at !lorimex!: see !log!
  goto :eof
)
rem A log that does not grow cannot be written: lorimex then writes here.
call :size before
>>"!log!" echo !logon!: no Kelvaro settings, running !lorimex!
call :size after
if not "!before!"=="!after!" goto logged
echo cannot write !log!: lorimex writes here instead
"!lorimex!"
if errorlevel 1 echo lorimex reported errors: see above
goto :eof
:logged
"!lorimex!" >>"!log!" 2>&1
if errorlevel 1 echo lorimex reported errors: see !log!
goto :eof

rem The log's size in bytes, or nothing, into the variable named first; read
rem with delayed expansion off, so that a "!" in the path is kept.
:size
setlocal DisableDelayedExpansion
set "size="
for %%L in ("%log%") do set "size=%%~zL"
endlocal & set "%1=%size%"
goto :eof
