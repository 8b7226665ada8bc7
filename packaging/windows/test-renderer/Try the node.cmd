@echo off
rem One test job on the node of this machine with the test renderer, which
rem must be registered as 3ds Max 2011 in the node's DrConfig.txt (README.txt).
set "OUT=%TEMP%\varnix-test"
if exist "%OUT%" rmdir /s /q "%OUT%"
"%~dp0..\drmaster.exe" render --node localhost --version 2011 --frame 1 --scene "%~dp0sample-scene.max" --out "%OUT%" --end-after-dumps 3
echo.
echo drmaster exit status: %ERRORLEVEL% (0: the job came back whole)
echo Dumps in %OUT%:
dir /b "%OUT%"
pause
