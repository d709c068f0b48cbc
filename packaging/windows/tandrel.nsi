; Tandrel's setup program for Windows: a per-user install without
; administrator rights into %LOCALAPPDATA%\Programs\Tandrel, a Start-menu
; shortcut and an entry in Settings > Apps. /S installs and uninstalls
; silently. Made by scripts/package.sh:
;
;   makensis -DVERSION=X.Y.Z -DFILES=<folder> -DOUTFILE=<setup.exe> -DICON=<.ico> tandrel.nsi
;
; where <folder> holds tandrel.exe, tandrel-cli.exe, HAND-M.CUR and LICENSE.

!ifndef VERSION
  !error "give -DVERSION (see the top of this file)"
!endif
!ifndef FILES
  !error "give -DFILES (see the top of this file)"
!endif
!ifndef OUTFILE
  !error "give -DOUTFILE (see the top of this file)"
!endif
!ifndef ICON
  !error "give -DICON (see the top of this file)"
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tandrel"

; The program is 64-bit only, and so is its setup program.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true
Name "Tandrel"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Tandrel"
; An upgrade goes where the installed version is.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Tandrel ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Tandrel"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Tandrel ${VERSION} setup"
VIAddVersionKey "CompanyName" "The Tandrel authors"
VIAddVersionKey "LegalCopyright" "Copyright (c) The Tandrel authors. MIT licence."

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\tandrel.exe"
!insertmacro MUI_PAGE_LICENSE "${FILES}\LICENSE"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Tandrel"
  ; The installed version uninstalls itself first (waiting for it, in its
  ; folder), so that an upgrade leaves one entry and no file of the old one.
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\uninstall.exe"
    ExecWait '"$0\uninstall.exe" /S _?=$0'
    Delete "$0\uninstall.exe"
    RMDir "$0"
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${FILES}\tandrel.exe"
  File "${FILES}\tandrel-cli.exe"
  File "${FILES}\HAND-M.CUR"
  File "${FILES}\LICENSE"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Tandrel.lnk" "$INSTDIR\tandrel.exe"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Tandrel"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "The Tandrel authors"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tandrel.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\Tandrel.lnk"
  Delete "$INSTDIR\tandrel.exe"
  Delete "$INSTDIR\tandrel-cli.exe"
  Delete "$INSTDIR\HAND-M.CUR"
  Delete "$INSTDIR\LICENSE"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
