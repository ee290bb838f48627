@echo off
rem Stands in for the PDM installation's perl in the guide's example on
rem Windows: runs the Windows form of the check "script" named, the .cmd
rem beside it, as the perl stand-in beside this runs it with sh. A cmd of its
rem own hands its exit status back whole.
cmd /d /c ""%~dpn1.cmd" %2"
exit /b %errorlevel%
