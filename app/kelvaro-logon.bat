@echo off
rem Kelvaro's logon script: gives a roaming profile that lacks the Kelvaro
rem settings the default profile's, with the lorimex.exe beside this script.
rem Only once: a run overwrites values of the same name, so a run at every
rem logon would put the default profile's values back over the user's own.
rem Each logon adds a line to the user's log, and lorimex's output when it
rem runs; past 64 KB the log moves to lorimex.log.old.
setlocal DisableDelayedExpansion
set "lorimex=%~dp0lorimex.exe"
set "log=%APPDATA%\Norvane\lorimex.log"
set "logon=%DATE% %TIME% %COMPUTERNAME% %USERDOMAIN%\%USERNAME%"
if not exist "%APPDATA%\Norvane" mkdir "%APPDATA%\Norvane"
if exist "%log%" for %%L in ("%log%") do if %%~zL GTR 65536 move /y "%log%" "%log%.old" >nul
rem From here the paths and names are read through !...!, so that an & or
rem a ) in them stays text.
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
