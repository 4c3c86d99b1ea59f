@echo off
rem Logon script: scan this computer for W32/Opaserv.Worm at each logon until
rem a scan is complete. The output and the outcome go to the share, one file
rem per computer in each of its folders done, check, again and log.
set PURGATO=\\SERVER\PURGATO
if "%COMPUTERNAME%"=="" goto end
if exist %PURGATO%\done\%COMPUTERNAME%.txt goto end
if exist %PURGATO%\check\%COMPUTERNAME%.txt del %PURGATO%\check\%COMPUTERNAME%.txt
if exist %PURGATO%\again\%COMPUTERNAME%.txt del %PURGATO%\again\%COMPUTERNAME%.txt
%PURGATO%\purgato-scan.exe > %PURGATO%\log\%COMPUTERNAME%.txt
if errorlevel 6 goto check
if errorlevel 5 goto restart
if errorlevel 4 goto again
if errorlevel 3 goto check
if errorlevel 2 goto failed
if errorlevel 1 goto cleaned
echo 0 clean> %PURGATO%\done\%COMPUTERNAME%.txt
goto end
:cleaned
echo 1 cleaned> %PURGATO%\done\%COMPUTERNAME%.txt
goto end
:check
echo 3 found, still there> %PURGATO%\check\%COMPUTERNAME%.txt
goto end
:again
echo 4 incomplete, scanned again at the next logon> %PURGATO%\again\%COMPUTERNAME%.txt
goto end
:restart
echo 5 cleaned, restart needed; scanned again at the next logon> %PURGATO%\again\%COMPUTERNAME%.txt
goto end
:failed
echo 2 did not run> %PURGATO%\again\%COMPUTERNAME%.txt
:end
