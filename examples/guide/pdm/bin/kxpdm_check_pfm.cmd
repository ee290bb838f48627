@echo off
rem The guide's item ID check, the Windows form of kxpdm_check_pfm.pl beside
rem it: exit 1 lets the mapped item ID and revision be used; only parts whose
rem file name starts with "approved" get them.
set "name=%~n1"
if "%name:~0,8%"=="approved" exit /b 1
exit /b 0
