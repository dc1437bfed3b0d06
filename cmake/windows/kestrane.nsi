; SPDX-License-Identifier: GPL-3.0-or-later
; The Windows installer: both programs, the user guide and a Start-menu folder.
; makensis -DVERSION=... -DSTAGE=<folder with the files> -DOUTFILE=... [-DWINDOW] kestrane.nsi
; (WINDOW: the stage holds kestrane.exe, which gets the Start-menu entry)
Unicode true
Target amd64-unicode
!include x64.nsh

Name "Kestrane ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kestrane"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
LicenseData "${STAGE}\LICENSE.txt"

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrane"

Section "Kestrane"
  SetRegView 64
  SetOutPath "$INSTDIR"
!ifdef WINDOW
  File "${STAGE}\kestrane.exe"
!endif
  File "${STAGE}\kestrane-cli.exe"
  File "${STAGE}\LICENSE.txt"
  File /r "${STAGE}\doc"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\Kestrane"
!ifdef WINDOW
  CreateShortcut "$SMPROGRAMS\Kestrane\Kestrane.lnk" "$INSTDIR\kestrane.exe"
!endif
  CreateShortcut "$SMPROGRAMS\Kestrane\Kestrane user guide.lnk" "$INSTDIR\doc\index.html"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kestrane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Kestrane developers"
!ifdef WINDOW
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kestrane.exe"
!endif
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetRegView 64
  SetShellVarContext all
  Delete "$SMPROGRAMS\Kestrane\Kestrane.lnk"
  Delete "$SMPROGRAMS\Kestrane\Kestrane user guide.lnk"
  RMDir "$SMPROGRAMS\Kestrane"
  Delete "$INSTDIR\kestrane.exe"
  Delete "$INSTDIR\kestrane-cli.exe"
  Delete "$INSTDIR\LICENSE.txt"
  RMDir /r "$INSTDIR\doc"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
