@echo off
rem Runs the lorimex.exe beside it once per user: a run overwrites the user's
rem values of the same name. Logs each logon; a log past 64 KB becomes .old.
set "lorimex=%~dp0lorimex.exe"
set "log=%APPDATA%\Norvane\lorimex.log"
set "logon=%DATE% %TIME% %COMPUTERNAME% %USERDOMAIN%\%USERNAME%"
if not exist "%APPDATA%\Norvane" mkdir "%APPDATA%\Norvane"
if exist "%log%" for %%L in ("%log%") do if %%~zL GTR 65536 move /y "%log%" "%log%.old" >nul 2>&1 || type nul >"%log%"
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
if not exist "!lorimex!" (
  >>"!log!" echo !logon!: no Kelvaro settings, lorimex.exe not found at !lorimex!
  echo lorimex.exe not found at !lorimex!: see !log!
  goto :eof
)
rem A log that does not grow cannot be written: lorimex runs without one.
set "size=none"
for %%L in ("%log%") do set "size=%%~zL"
>>"!log!" echo !logon!: no Kelvaro settings, running !lorimex!
set "output=!log!"
for %%L in ("%log%") do if "%%~zL"=="!size!" set "output=nul"
if "!output!"=="nul" echo cannot write !log!: lorimex runs without its log
"!lorimex!" >>"!output!" 2>&1
if errorlevel 1 echo lorimex reported errors: see !log!
