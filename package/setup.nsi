; vcombus-setup.exe: installs the package into Program Files\vcombus, puts that folder on the
; system PATH, trusts the package's test certificate when it ships one, installs the driver with
; vcomctl and registers the uninstaller with Windows. Over an earlier install it upgrades in place:
; vcomctl install replaces a bus driver that is not the package's.
;
; Built by the packaging step: makensis -DPACKAGE_DIR=DIR -DVERSION=X.Y.Z.W -DOUTFILE=PATH
; setup.nsi, where DIR holds the package (vcombus.sys, the INFs, the catalog, vcomctl.exe and,
; in test builds, vcombus-test.cer).
;
; Exit codes: 0 installed (or removed), 1 failed (the log, or vcomctl's own line, says why),
; 2 cancelled. /S runs silently.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!ifndef PACKAGE_DIR
  !error "makensis -DPACKAGE_DIR=DIR: the package to wrap"
!endif
!ifndef VERSION
  !error "makensis -DVERSION=X.Y.Z.W: the package's version"
!endif
!ifndef OUTFILE
  !define OUTFILE "vcombus-setup.exe"
!endif

!include LogicLib.nsh
!include x64.nsh
!include WinMessages.nsh

!define PRODUCT "vcombus"
!define PUBLISHER "vcombus"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\vcombus"

Name "vcombus ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\vcombus"
; An earlier install's folder is the one to upgrade.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "vcombus"
VIAddVersionKey "FileDescription" "vcombus setup: virtual serial ports"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "vcombus"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Fresh   ; 1 when no earlier install was there: a failure takes everything back out
Var Trusted ; 1 when this run trusted the test certificate

; Runs vcomctl from the install folder with its output in the details; $0 is its exit code.
!macro Vcomctl ARGUMENTS
  DetailPrint `vcomctl ${ARGUMENTS}`
  nsExec::ExecToLog `"$INSTDIR\vcomctl.exe" ${ARGUMENTS}`
  Pop $0
!macroend

; Ends a failed setup with exit code 1, after taking out what a fresh install put in.
!macro Fail MESSAGE
  DetailPrint "${MESSAGE}"
  ${If} $Fresh == 1
    ${If} $Trusted == 1
      !insertmacro Vcomctl "untrust"
    ${EndIf}
    Call RemoveFiles
  ${EndIf}
  SetErrorLevel 1
  IfSilent +2
    MessageBox MB_ICONSTOP|MB_OK "${MESSAGE}"
  Abort "${MESSAGE}"
!macroend

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP|MB_OK "vcombus needs 64-bit Windows." /SD IDOK
    SetErrorLevel 1
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Function RemoveFiles
  ; Out of the folder, which can't be removed while it is this process's current one.
  SetOutPath "$TEMP"
  Delete "$INSTDIR\vcomctl.exe"
  Delete "$INSTDIR\vcomsvc.exe"
  Delete "$INSTDIR\vcombus.sys"
  Delete "$INSTDIR\vcombus.inf"
  Delete "$INSTDIR\vcomport.inf"
  Delete "$INSTDIR\vcombus.cat"
  Delete "$INSTDIR\vcombus-test.cer"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
FunctionEnd

Section "vcombus"
  SectionIn RO
  StrCpy $Fresh 1
  StrCpy $Trusted 0
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $1 != ""
  ${AndIf} ${FileExists} "$INSTDIR\vcomctl.exe"
    StrCpy $Fresh 0
    DetailPrint "upgrading the install in $INSTDIR"
  ${EndIf}

  ; The restore service runs from the install folder and holds its program open: it stops
  ; for the upgrade, and vcomctl install starts it again.
  ${If} $Fresh == 0
    DetailPrint "stopping the restore service"
    nsExec::ExecToLog 'net stop vcomsvc'
    Pop $0
  ${EndIf}

  SetOutPath "$INSTDIR"
  SetOverwrite on
  ClearErrors
  File "${PACKAGE_DIR}\vcomctl.exe"
  File "${PACKAGE_DIR}\vcomsvc.exe"
  File "${PACKAGE_DIR}\vcombus.sys"
  File "${PACKAGE_DIR}\vcombus.inf"
  File "${PACKAGE_DIR}\vcomport.inf"
  File "${PACKAGE_DIR}\vcombus.cat"
!if /FileExists "${PACKAGE_DIR}\vcombus-test.cer"
  File "${PACKAGE_DIR}\vcombus-test.cer"
!else
  ; A package signed with a certificate of its own ships no test certificate: an upgrade from a
  ; test build takes the old one away with its trust.
  ${If} ${FileExists} "$INSTDIR\vcombus-test.cer"
    !insertmacro Vcomctl "untrust"
    Delete "$INSTDIR\vcombus-test.cer"
  ${EndIf}
!endif
  ${If} ${Errors}
    !insertmacro Fail "could not write the files to $INSTDIR"
  ${EndIf}
  WriteUninstaller "$INSTDIR\uninstall.exe"

!if /FileExists "${PACKAGE_DIR}\vcombus-test.cer"
  !insertmacro Vcomctl "trust"
  ${If} $0 != 0
    !insertmacro Fail "vcomctl trust failed (exit code $0): the test certificate is not trusted"
  ${EndIf}
  StrCpy $Trusted 1
!endif

  !insertmacro Vcomctl "install"
  ${If} $0 != 0
    !insertmacro Fail "vcomctl install failed (exit code $0): the driver is not installed"
  ${EndIf}

  !insertmacro Vcomctl 'path add "$INSTDIR"'
  ${If} $0 != 0
    !insertmacro Fail "vcomctl path add failed (exit code $0): $INSTDIR is not on the PATH"
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "vcombus (virtual serial ports)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vcomctl.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; In KiB, as the list of installed programs shows it.
  SectionGetSize 0 $1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
SectionEnd

; The uninstaller takes everything out in the reverse order; a step that fails is reported, the
; others still run, and the exit code is 1.
Section "Uninstall"
  StrCpy $2 0
  ${If} ${FileExists} "$INSTDIR\vcomctl.exe"
    ; uninstall removes the restore service and the recorded configuration, the ports with the
    ; bus, their COM names and the driver.
    DetailPrint "vcomctl uninstall"
    nsExec::ExecToLog '"$INSTDIR\vcomctl.exe" uninstall'
    Pop $0
    ${If} $0 != 0
      DetailPrint "vcomctl uninstall failed (exit code $0)"
      StrCpy $2 1
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\vcombus-test.cer"
      DetailPrint "vcomctl untrust"
      nsExec::ExecToLog '"$INSTDIR\vcomctl.exe" untrust'
      Pop $0
      ${If} $0 != 0
        DetailPrint "vcomctl untrust failed (exit code $0)"
        StrCpy $2 1
      ${EndIf}
    ${EndIf}
    DetailPrint 'vcomctl path remove "$INSTDIR"'
    nsExec::ExecToLog '"$INSTDIR\vcomctl.exe" path remove "$INSTDIR"'
    Pop $0
    ${If} $0 != 0
      DetailPrint "vcomctl path remove failed (exit code $0)"
      StrCpy $2 1
    ${EndIf}
  ${EndIf}
  ; With the driver still installed, the files stay so that the uninstall can be run again.
  ${If} $2 != 0
    SetErrorLevel 1
    Abort "the uninstall failed: vcombus is still installed in $INSTDIR"
  ${EndIf}
  Delete "$INSTDIR\vcomctl.exe"
  Delete "$INSTDIR\vcomsvc.exe"
  Delete "$INSTDIR\vcombus.sys"
  Delete "$INSTDIR\vcombus.inf"
  Delete "$INSTDIR\vcomport.inf"
  Delete "$INSTDIR\vcombus.cat"
  Delete "$INSTDIR\vcombus-test.cer"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
