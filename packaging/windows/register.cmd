@echo off
rem Registers both QELCOMM.OCX modules of this folder, each with the regsvr32
rem of its own bitness. Run it as administrator.
setlocal
set "here=%~dp0"
set "sys=%SystemRoot%\System32"
rem A 32-bit cmd sees the 32-bit System32; Sysnative is the real one.
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "sys=%SystemRoot%\Sysnative"
if not exist "%SystemRoot%\SysWOW64\regsvr32.exe" goto only32
"%sys%\regsvr32.exe" /s "%here%x64\QELCOMM.OCX"
if errorlevel 1 goto failed
"%SystemRoot%\SysWOW64\regsvr32.exe" /s "%here%x86\QELCOMM.OCX"
if errorlevel 1 goto failed64
echo QELCOMM.OCX is registered for 64- and 32-bit hosts.
exit /b 0
:only32
"%sys%\regsvr32.exe" /s "%here%x86\QELCOMM.OCX"
if errorlevel 1 goto failed
echo QELCOMM.OCX is registered for 32-bit hosts.
exit /b 0
:failed64
"%sys%\regsvr32.exe" /s /u "%here%x64\QELCOMM.OCX"
:failed
echo Registering QELCOMM.OCX failed; nothing is registered. Run this as administrator. 1>&2
exit /b 1
