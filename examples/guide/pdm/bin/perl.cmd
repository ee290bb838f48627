@echo off
rem Stands in for the PDM installation's perl in the guide's example on
rem Windows: runs the Windows form of the check "script" named, the .cmd
rem beside it, as the perl stand-in beside this runs it with sh. The .cmd
rem takes over this batch (no call, no cmd of its own), so the part's name
rem is read once, between its quotes, as the library gave it: a second cmd
rem or a call would read it again, "&" and "|" as operators and "%" as
rem references. Its exit status is then the session's own.
"%~dpn1.cmd" %2
