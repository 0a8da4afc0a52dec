@echo off
rem Runs the lorimex.exe beside it once per user: a run overwrites the user's
rem values of the same name. Logs each logon; a log past 64 KB becomes .old.
set "lorimex=%~dp0lorimex.exe"
set "log=%APPDATA%\Norvane\lorimex.log"
set "logon=%DATE% %TIME% %COMPUTERNAME% %USERDOMAIN%\%USERNAME%"
if not exist "%APPDATA%\Norvane" mkdir "%APPDATA%\Norvane"
if exist "%log%" for %%L in ("%log%") do if %%~zL GTR 65536 move /y "%log%" "%log%.old" >nul
setlocal EnableDelayedExpansion
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
>>"!log!" echo !logon!: no Kelvaro settings, running !lorimex!
"!lorimex!" >>"!log!" 2>&1
if errorlevel 1 echo lorimex reported errors: see !log!
