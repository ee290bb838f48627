@echo off
rem The site's additional import program, the Windows form of check_part_file.sh
rem beside it: a part file may be imported only when its name keeps to the
rem site's naming rule (lower-case letters, digits, "_", "-" and "." only,
rem ending in ".prt"). A non-zero exit refuses the part. Each letter is
rem compared with "==", which minds case, one at a time: cmd's own
rem substitutions and findstr's ranges do not.
rem The name is a part's, so it may hold anything cmd reads as an operator
rem (& | < > ^ ( )): it is only ever expanded between double quotes (the
rem library never runs a name holding one), and printed through a for
rem variable, which cmd puts in after reading the line, not before. A name
rem holding "%" is refused first: taken letter by letter it would be read
rem as a reference again (wine's cmd shows no name for it at all). A "%" in
rem a folder of the path is refused too, where the sh form looks at the
rem name alone.
rem %%~nx1 would drop trailing dots and spaces, which the rule refuses: the
rem name is taken letter by letter instead. A folder ends at "\" here as well
rem as at "/", Windows' separator, so "x\good.prt" is allowed here and
rem refused by the sh form.
setlocal
for /f "tokens=1,* delims=%%" %%x in ("x%~1x") do if not "%%y"=="" goto percent
set "name="
set "rest=%~1"
:split
if "%rest%"=="" goto check
set "c=%rest:~0,1%"
set "rest=%rest:~1%"
set "name=%name%%c%"
if "%c%"=="\" set "name="
if "%c%"=="/" set "name="
goto split
:check
set "rest=%name%"
:next
if "%rest%"=="" goto allowed
set "c=%rest:~0,1%"
set "rest=%rest:~1%"
set ok=
for %%a in (a b c d e f g h i j k l m n o p q r s t u v w x y z 0 1 2 3 4 5 6 7 8 9 _ . -) do if "%c%"=="%%a" set ok=1
if defined ok goto next
for /f "delims=" %%m in ("check_part_file: %name%") do echo %%m: only lower-case letters, digits, "_", "-" and "." are allowed
exit /b 3
:allowed
if "%name:~-4%"==".prt" exit /b 0
for /f "delims=" %%m in ("check_part_file: %name%") do echo %%m: not a part file
exit /b 4
:percent
set "shown=%~nx1"
for /f "tokens=1,* delims==" %%a in ('set shown') do echo check_part_file: %%b: only lower-case letters, digits, "_", "-" and "." are allowed
exit /b 3
