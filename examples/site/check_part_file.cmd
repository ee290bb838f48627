@echo off
rem The site's additional import program, the Windows form of check_part_file.sh
rem beside it: a part file may be imported only when its name keeps to the
rem site's naming rule (lower-case letters, digits, "_", "-" and "." only,
rem ending in ".prt"). A non-zero exit refuses the part. Each letter is
rem compared with "==", which minds case, one at a time: cmd's own
rem substitutions and findstr's ranges do not.
setlocal
set "name=%~nx1"
set "rest=%~nx1"
:next
if "%rest%"=="" goto allowed
set "c=%rest:~0,1%"
set "rest=%rest:~1%"
set ok=
for %%a in (a b c d e f g h i j k l m n o p q r s t u v w x y z 0 1 2 3 4 5 6 7 8 9 _ . -) do if "%c%"=="%%a" set ok=1
if defined ok goto next
echo check_part_file: %name%: only lower-case letters, digits, "_", "-" and "." are allowed
exit /b 3
:allowed
if "%~x1"==".prt" exit /b 0
echo check_part_file: %name%: not a part file
exit /b 4
