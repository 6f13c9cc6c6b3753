@echo off
rem demo.cmd - the Vistrel demo: both service simulators on loopback, settings for the bridges
rem that point at them, and the monitor, which starts both bridges. It works in the folder
rem "demo" below this one, so that the settings and logs of a real installation here in
rem plugins\ stay untouched. "demo.cmd stop" ends the bridges and simulators that it started:
rem those that run from the folder demo\, and no program of the same name elsewhere. Any other
rem word names the text encoding of the bridges: "demo.cmd Windows-1252" (Raw, ASCII, UTF-8).
setlocal
cd /d "%~dp0"
if /i "%~1"=="stop" goto stop

if not exist demo\plugins mkdir demo\plugins
for %%p in (Vistrel_MPExtended.exe Vistrel_WIFIRemote.exe Vistrel_Status.exe vistrel_tvsim.exe vistrel_wifisim.exe) do copy /y %%p demo\ >nul
cd demo
> plugins\MP.cfg echo // Written by demo.cmd: both bridges talk to the simulators on loopback.
>> plugins\MP.cfg echo Debug=1
>> plugins\MP.cfg echo MPExtended_IPAddress=127.0.0.1
>> plugins\MP.cfg echo MPExtended_Port=14322
>> plugins\MP.cfg echo MPExtended_Wait=5
>> plugins\MP.cfg echo WifiRemote_IPAddress=127.0.0.1
>> plugins\MP.cfg echo WifiRemote_Port=18017
if not "%~1"=="" >> plugins\MP.cfg echo Text_Encoding=%~1

rem The TV simulator serves a library of 300 recordings shaped like a real one, three of them
rem in progress. The simulators share this console, so that Ctrl-C ends them together with the
rem monitor.
> plugins\library.txt echo library 300 in-progress 3
start "" /b vistrel_tvsim.exe --port 14322 --scenario plugins\library.txt > plugins\tvsim.out 2>&1
start "" /b vistrel_wifisim.exe --port 18017 > plugins\wifisim.out 2>&1
echo Starting the monitor; Ctrl-C ends it. Answer N to "Terminate batch job" to stop the rest.
Vistrel_Status.exe

:stop
rem The bridges run apart from this console once the monitor has started them. Every program
rem of the demo runs from the folder demo\, so it is found by its image path there; a bridge of a
rem real installation, in this folder or anywhere else, has another path and keeps running.
set "VISTREL_DEMO_DIR=%~dp0demo\"
powershell -NoProfile -ExecutionPolicy Bypass -Command "$d = $env:VISTREL_DEMO_DIR; Get-Process -Name Vistrel_MPExtended,Vistrel_WIFIRemote,vistrel_tvsim,vistrel_wifisim -ErrorAction SilentlyContinue | Where-Object { $_.Path -and $_.Path.StartsWith($d, [System.StringComparison]::OrdinalIgnoreCase) } | Stop-Process -Force -ErrorAction Stop" >nul 2>&1
rem The folder's name is shown in quotes: a name may hold & or another character that the
rem command interpreter would otherwise take as the start of a command of its own.
if errorlevel 1 echo Not all demo programs could be ended; end those that run from "%~dp0demo\" in the Task Manager.
echo Stopped; the logs are in demo\plugins\.
endlocal
