@echo off
rem Unregisters both QELCOMM.OCX modules of this folder. Run it as administrator.
setlocal
set "here=%~dp0"
set "sys=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "sys=%SystemRoot%\Sysnative"
set status=0
if not exist "%SystemRoot%\SysWOW64\regsvr32.exe" goto only32
"%sys%\regsvr32.exe" /s /u "%here%x64\QELCOMM.OCX"
if errorlevel 1 set status=1
"%SystemRoot%\SysWOW64\regsvr32.exe" /s /u "%here%x86\QELCOMM.OCX"
if errorlevel 1 set status=1
goto done
:only32
"%sys%\regsvr32.exe" /s /u "%here%x86\QELCOMM.OCX"
if errorlevel 1 set status=1
:done
if %status%==0 (echo QELCOMM.OCX is unregistered.) else (echo Unregistering QELCOMM.OCX failed. Run this as administrator. 1>&2)
exit /b %status%
