; The QelComm installer: both QELCOMM.OCX modules, each registered by the
; regsvr32 of its own bitness, qelctl.exe, the examples and the README.
;
;   makensis -DVERSION=1.6.0 -DSTAGE=<dir> -DOUTFILE=<setup.exe> qelcomm.nsi
;
; STAGE holds x64\QELCOMM.OCX, x86\QELCOMM.OCX, qelctl.exe, README.md and
; examples\. The installer is a 64-bit program: the 64-bit registry view and
; the real system32 are its own, and 32-bit hosts are served by SysWOW64.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh

!define PRODUCT "QelComm"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QelComm"
!define WOW64_REGSVR32 "$WINDIR\SysWOW64\regsvr32.exe"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An upgrade goes where the earlier install went, unless /D= says otherwise.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "The QelComm developers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; regsvr32 /s of one module; $0 is its exit code (0: done).
!macro Regsvr32 exe args module
  ClearErrors
  ExecWait '"${exe}" /s ${args} "${module}"' $0
  ${If} ${Errors}
    StrCpy $0 -1
  ${EndIf}
!macroend

!macro RemoveFiles
  Delete "$INSTDIR\x64\QELCOMM.OCX"
  Delete "$INSTDIR\x86\QELCOMM.OCX"
  RMDir "$INSTDIR\x64"
  RMDir "$INSTDIR\x86"
  Delete "$INSTDIR\qelctl.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\examples\ReadAndProgram.bas"
  Delete "$INSTDIR\examples\read-and-program.vbs"
  Delete "$INSTDIR\examples\read_and_program.py"
  RMDir "$INSTDIR\examples"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
!macroend

; Both modules unregistered; a module that is missing or fails is skipped so
; that the other is still removed.
!macro UnregisterModules
  ${If} ${FileExists} "$INSTDIR\x64\QELCOMM.OCX"
    !insertmacro Regsvr32 "$SYSDIR\regsvr32.exe" "/u" "$INSTDIR\x64\QELCOMM.OCX"
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\x86\QELCOMM.OCX"
  ${AndIf} ${FileExists} "${WOW64_REGSVR32}"
    !insertmacro Regsvr32 "${WOW64_REGSVR32}" "/u" "$INSTDIR\x86\QELCOMM.OCX"
  ${EndIf}
!macroend

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

; Undoes the whole install and ends it with exit code 2 and the reason.
Function FailInstall
  Pop $1
  DetailPrint "$1"
  ; The folder cannot go while it is the installer's working directory.
  SetOutPath "$TEMP"
  !insertmacro UnregisterModules
  !insertmacro RemoveFiles
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  MessageBox MB_ICONSTOP|MB_OK "$1$\r$\n$\r$\nQelComm was not installed." /SD IDOK
  SetErrorLevel 2
  Quit
FunctionEnd

Section "QelComm"
  ClearErrors
  SetOutPath "$INSTDIR\x64"
  File "${STAGE}\x64\QELCOMM.OCX"
  SetOutPath "$INSTDIR\x86"
  File "${STAGE}\x86\QELCOMM.OCX"
  SetOutPath "$INSTDIR\examples"
  File "${STAGE}\examples\ReadAndProgram.bas"
  File "${STAGE}\examples\read-and-program.vbs"
  File "${STAGE}\examples\read_and_program.py"
  SetOutPath "$INSTDIR"
  File "${STAGE}\qelctl.exe"
  File "${STAGE}\README.md"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${If} ${Errors}
    Push "Cannot write the files to $INSTDIR."
    Call FailInstall
  ${EndIf}

  DetailPrint "Registering the 64-bit QELCOMM.OCX"
  !insertmacro Regsvr32 "$SYSDIR\regsvr32.exe" "" "$INSTDIR\x64\QELCOMM.OCX"
  ${If} $0 != 0
    Push "Registering $INSTDIR\x64\QELCOMM.OCX failed (regsvr32 exit code $0)."
    Call FailInstall
  ${EndIf}
  ; A 64-bit Windows without WOW64 runs no 32-bit host.
  ${If} ${FileExists} "${WOW64_REGSVR32}"
    DetailPrint "Registering the 32-bit QELCOMM.OCX"
    !insertmacro Regsvr32 "${WOW64_REGSVR32}" "" "$INSTDIR\x86\QELCOMM.OCX"
    ${If} $0 != 0
      Push "Registering $INSTDIR\x86\QELCOMM.OCX failed (regsvr32 exit code $0)."
      Call FailInstall
    ${EndIf}
  ${Else}
    DetailPrint "No 32-bit subsystem: the 32-bit QELCOMM.OCX is not registered"
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The QelComm developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\x64\QELCOMM.OCX,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  !insertmacro UnregisterModules
  !insertmacro RemoveFiles
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
