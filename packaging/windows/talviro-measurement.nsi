; The Windows setup program: installs the programs for every user into
; Program Files, adds Start-menu shortcuts that start the windows in the
; install folder (the window reads logo.jpg from its working folder), and
; registers an uninstaller that takes away all of it again. Over an
; earlier or the same version it runs that install's uninstaller first, so
; that files a release drops do not stay behind: one install, one uninstall
; entry. Over a newer version it refuses, and exits with
; EXIT_NEWER_INSTALLED. Before it touches the installed version it checks
; that no program in the install folder is running, and the uninstaller
; does so before it removes anything: a running program's file cannot be
; deleted or written, so that either would stop halfway.
;
; make_setup.sh runs makensis on this file with
;   VERSION    the project version, such as 1.0.1
;   STAGE_DIR  the folder holding the files to install
;   FILE_LIST  an include file naming them, one "${TALVIRO_FILE} NAME" a line
;   OUT_FILE   where the setup program goes
; and never with the chip driver's ftd2xx.dll among the files: Windows
; installs it with the FTDI D2XX driver.

Unicode true
; A 32-bit setup program would see the 32-bit Program Files and registry;
; the programs are 64-bit.
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WordFunc.nsh

!ifndef VERSION
  !error "define VERSION with makensis -DVERSION=..."
!endif
!ifndef STAGE_DIR
  !error "define STAGE_DIR with makensis -DSTAGE_DIR=..."
!endif
!ifndef FILE_LIST
  !error "define FILE_LIST with makensis -DFILE_LIST=..."
!endif
!ifndef OUT_FILE
  !error "define OUT_FILE with makensis -DOUT_FILE=..."
!endif

!define PRODUCT "TALVIRO Measurement"
; The vendor the .deb names too.
!define PUBLISHER "TALVIRO project"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define UNINSTALLER "Uninstall.exe"
!define SHORTCUT_WINDOW "$SMPROGRAMS\${PRODUCT}.lnk"
!define SHORTCUT_DEMO "$SMPROGRAMS\${PRODUCT} Demo.lnk"
; The exit code of a setup program that found a newer version installed,
; NSIS's own for a setup program its script stopped.
!define EXIT_NEWER_INSTALLED 2
; The exit code of a setup program or uninstaller that found a program of
; the install running, and, with /S, changed nothing.
!define EXIT_PROGRAM_RUNNING 3
; What ${VersionCompare} returns when its second version is the newer.
!define VERSION_SECOND_NEWER 2

; The version the uninstall entry names; empty when none is installed.
Var InstalledVersion

Name "${PRODUCT}"
Caption "${PRODUCT} ${VERSION} Setup"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "MIT License, see LICENSE.txt"

!define MUI_ICON "${__FILEDIR__}/talviro-measurement.ico"
!define MUI_UNICON "${__FILEDIR__}/talviro-measurement.ico"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_TITLE "${PRODUCT} is installed"
!define MUI_FINISHPAGE_TEXT "Start it from the Start menu: ${PRODUCT}, or ${PRODUCT} Demo to try it on a simulated probe.$\r$\n$\r$\nThe probe needs the FTDI D2XX driver. Windows normally installs it by itself the first time the probe is plugged in, through Windows Update. If the window stays $\"Not Connected$\" with the probe plugged in, install the D2XX driver from FTDI, then plug the probe in again."

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE_DIR}/LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!macro InstallFile name
  File "${STAGE_DIR}/${name}"
!macroend
!macro RemoveFile name
  Delete "$INSTDIR\${name}"
!macroend

; The check for running programs, for the setup program and (with un.) for
; the uninstaller.
!macro ProgramsClosedFunctions un
; Pops a folder; pushes the name of the first program in it that cannot be
; opened for writing, or "" when there is none. Windows keeps a running
; program's file from being written (and deleted); opening it for append
; changes nothing. The uninstaller is not looked at: run in place, as a
; setup program runs it, it is the one program allowed to run.
Function ${un}FindRunningProgram
  Exch $0
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $4 ""
  ClearErrors
  FindFirst $1 $2 "$0\*.exe"
  ${DoWhile} $2 != ""
    ${If} $2 != "${UNINSTALLER}"
      ClearErrors
      FileOpen $3 "$0\$2" a
      ${If} ${Errors}
        StrCpy $4 $2
        ${ExitDo}
      ${EndIf}
      FileClose $3
    ${EndIf}
    FindNext $1 $2
  ${Loop}
  FindClose $1
  StrCpy $0 $4
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Pops a folder; returns once no program in it is running. While one is,
; says which and asks to close it: Retry looks again, Cancel (the answer of
; /S) ends with EXIT_PROGRAM_RUNNING, nothing changed.
Function ${un}WaitForProgramsClosed
  Exch $0
  Push $1
  ${Do}
    Push $0
    Call ${un}FindRunningProgram
    Pop $1
    ${If} $1 == ""
      ${ExitDo}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$1 is running from $0. Close it, then press Retry.$\r$\n$\r$\nCancel leaves ${PRODUCT} as it is." /SD IDCANCEL IDRETRY look_again
    SetErrorLevel ${EXIT_PROGRAM_RUNNING}
    Quit
    look_again:
  ${Loop}
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro ProgramsClosedFunctions ""
!insertmacro ProgramsClosedFunctions "un."

; Shortcuts and the Start menu for all users, as the install is per machine.
; A newer version stays: going back means uninstalling it first.
Function .onInit
  SetShellVarContext all
  ReadRegStr $InstalledVersion HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  ${If} $InstalledVersion != ""
    ; Numerically, part by part: 1.0.10 is newer than 1.0.9.
    ${VersionCompare} "${VERSION}" "$InstalledVersion" $0
    ${If} $0 == ${VERSION_SECOND_NEWER}
      MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} $InstalledVersion is installed, which is newer than this setup program's ${VERSION}. To install ${VERSION}, uninstall $InstalledVersion first, under Settings, $\"Apps$\"." /SD IDOK
      SetErrorLevel ${EXIT_NEWER_INSTALLED}
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

; Runs the uninstaller the uninstall entry names, silently and in its own
; folder (_?=): started plainly it would copy itself to a temporary folder,
; start that copy and end at once, and ExecWait would not wait for the
; removal. Run so, it cannot delete its own file, nor so the folder: both
; go here. An entry whose uninstaller is gone is left for this install to
; write over.
Function RemoveInstalledVersion
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "UninstallString"
  ; "PATH", as every version of this file writes it, or a bare PATH.
  StrCpy $1 $0 1
  StrCpy $2 $0 "" -1
  ${If} $1 == '"'
  ${AndIf} $2 == '"'
    StrCpy $0 $0 -1 1
  ${EndIf}
  ${If} $0 == ""
  ${OrIfNot} ${FileExists} "$0"
    Return
  ${EndIf}
  ${GetParent} "$0" $1
  DetailPrint "Removing ${PRODUCT} $InstalledVersion from $1"
  ClearErrors
  ExecWait '"$0" /S _?=$1' $2
  ${If} ${Errors}
  ${OrIf} $2 != 0
    MessageBox MB_OK|MB_ICONSTOP "The installed ${PRODUCT} $InstalledVersion could not be removed (its uninstaller ended with $\"$2$\"). Close its windows and run this setup program again." /SD IDOK
    Abort
  ${EndIf}
  Delete "$0"
  RMDir "$1"
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Install"
  ; Where this install goes, and where the installed version is.
  Push $INSTDIR
  Call WaitForProgramsClosed
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
    Push $0
    Call WaitForProgramsClosed
  ${EndIf}
  Call RemoveInstalledVersion
  SetOutPath "$INSTDIR"
  !define TALVIRO_FILE "!insertmacro InstallFile"
  !include "${FILE_LIST}"
  !undef TALVIRO_FILE
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; A shortcut's working folder is the output path at the time it is made.
  SetOutPath "$INSTDIR"
  CreateShortCut "${SHORTCUT_WINDOW}" "$INSTDIR\talviro_gui.exe" "" "$INSTDIR\talviro_gui.exe" 0 \
    SW_SHOWNORMAL "" "Measure with the TALVIRO probe"
  CreateShortCut "${SHORTCUT_DEMO}" "$INSTDIR\talviro_gui_demo.exe" "" "$INSTDIR\talviro_gui_demo.exe" 0 \
    SW_SHOWNORMAL "" "TALVIRO Measurement on a simulated probe"

  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${UNINSTALLER},0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Push $INSTDIR
  Call un.WaitForProgramsClosed
  Delete "${SHORTCUT_WINDOW}"
  Delete "${SHORTCUT_DEMO}"
  !define TALVIRO_FILE "!insertmacro RemoveFile"
  !include "${FILE_LIST}"
  !undef TALVIRO_FILE
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Not /r: files the user put into the folder stay, and so does the folder.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
