; Installer of the Varnix DR node for 64-bit Windows, built by
; scripts/package-windows with NSIS (makensis) on Debian.
;
; makensis -DVERSION=6.1.0 -DSTAGE=<staged release folder> -DICON=<.ico> -DOUTFILE=<setup.exe>
;   -DPE_MANIFEST=<scripts/pe-manifest> VarnixNode.nsi
;
; Per-machine install into Program Files; the node's working directory is the
; fixed folder %ProgramData%\Varnix DR node (kept across upgrades and by the
; uninstaller together with its drData), used by every shortcut.
; Silent: setup.exe /S [/NOAUTOSTART] [/D=<install folder>]; Uninstall.exe /S.

!ifndef VERSION
  !error "VERSION is not defined"
!endif
!ifndef STAGE
  !error "STAGE is not defined"
!endif
!ifndef ICON
  !error "ICON is not defined"
!endif
!ifndef OUTFILE
  !error "OUTFILE is not defined"
!endif
!ifndef PE_MANIFEST
  !error "PE_MANIFEST (scripts/pe-manifest) is not defined"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all
ManifestDPIAware true
XPStyle on
; makensis' own manifest names no processor ("*"): ours, which names amd64,
; replaces it in the program header that the installer and the uninstaller
; share (the options above only make room for it).
!packhdr "${OUTFILE}.header" '"${PE_MANIFEST}" set "${OUTFILE}.header" "${__FILEDIR__}/resources/VarnixSetup.manifest"'

!define PRODUCT "Varnix DR node"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Varnix DR node"
!define NODE_EXE "VarnixNode.exe"
!define TEST_RENDERER "Test renderer (not 3ds Max)"
!define GUIDE "Windows guide.html"
!define RULE_UDP "Varnix DR node: discovery (UDP 19666)"
!define RULE_TCP "Varnix DR node: masters (TCP 19668)"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "Installer of the ${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "Varnix"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Varnix"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "x64.nsh"
!include "Sections.nsh"

Var DataDir

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\${GUIDE}"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Open the Windows guide"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The node's working directory for every user: C:\ProgramData\Varnix DR node.
!macro SetDataDir
  SetShellVarContext all
  StrCpy $DataDir "$APPDATA\${PRODUCT}"
!macroend

; Asks a running node to close the way its window's close box does (it
; finishes a running job first), then waits for it; ends it by force only
; when it is still there after two minutes. Needed before its files can be
; replaced or removed.
!macro StopNode
  DetailPrint "Closing a running ${PRODUCT}, if any"
  ; taskkill without /f asks each window of the program to close; it fails
  ; once no such program runs.
  nsExec::Exec '"$SYSDIR\taskkill.exe" /im ${NODE_EXE}'
  Pop $0
  ${If} $0 == 0
    StrCpy $1 0
    ${Do}
      Sleep 1000
      IntOp $1 $1 + 1
      nsExec::Exec '"$SYSDIR\taskkill.exe" /im ${NODE_EXE}'
      Pop $0
      ${If} $0 != 0
        ${Break}
      ${EndIf}
      ${If} $1 >= 120
        DetailPrint "The node did not close within two minutes; ending it"
        nsExec::Exec '"$SYSDIR\taskkill.exe" /f /im ${NODE_EXE}'
        Pop $0
        Sleep 1000
        ${Break}
      ${EndIf}
    ${Loop}
  ${EndIf}
!macroend


Function un.onInit
  SetRegView 64
  !insertmacro SetDataDir
FunctionEnd

; Appends "<year> <install directory>" for every 3ds Max release the registry
; knows of to the file open in $R9, probing the keys the node itself probes
; when it writes a default DrConfig.txt; $R8 counts them.
Function AppendRegistryReleases
  StrCpy $R8 0
  ${For} $R0 2011 2016
    IntOp $R1 $R0 - 1998
    StrCpy $R5 ""
    ${For} $R2 0 6
      ${Select} $R2
        ${Case} 0
          StrCpy $R3 ""
        ${Case} 1
          StrCpy $R3 "\MAX-1:409"
        ${Case} 2
          StrCpy $R3 "\MAX-1:40C"
        ${Case} 3
          StrCpy $R3 "\MAX-1:407"
        ${Case} 4
          StrCpy $R3 "\MAX-1:411"
        ${Case} 5
          StrCpy $R3 "\MAX-1:412"
        ${Case} 6
          StrCpy $R3 "\MAX-1:804"
      ${EndSelect}
      ClearErrors
      ReadRegStr $R4 HKLM "SOFTWARE\Autodesk\3dsMax\$R1.0$R3" "Installdir"
      ${IfNot} ${Errors}
        StrCpy $R5 "found"
        ${Break}
      ${EndIf}
      ClearErrors
      ReadRegStr $R4 HKLM "SOFTWARE\Autodesk\3dsMaxDesign\$R1.0$R3" "Installdir"
      ${IfNot} ${Errors}
        StrCpy $R5 "found"
        ${Break}
      ${EndIf}
    ${Next}
    ${If} $R5 == "found"
    ${AndIf} $R4 != ""
      FileWrite $R9 "$R0 $R4$\r$\n"
      IntOp $R8 $R8 + 1
    ${EndIf}
  ${Next}
FunctionEnd

Section "${PRODUCT}" SecNode
  SectionIn RO
  !insertmacro StopNode

  SetOutPath "$INSTDIR"
  File "${STAGE}/${NODE_EXE}"
  File "${STAGE}/drmaster.exe"
  File "${STAGE}/${GUIDE}"
  File "/oname=DrConfig sample.txt" "${STAGE}/DrConfig.txt"
  SetOutPath "$INSTDIR\${TEST_RENDERER}"
  File "${STAGE}/${TEST_RENDERER}/*.*"

  ; The working directory, writable by every user who runs the node (the
  ; log, the scenes and dumps of jobs); kept by upgrades and the uninstaller.
  CreateDirectory "$DataDir\drData"
  nsExec::Exec '"$SYSDIR\icacls.exe" "$DataDir" /grant *S-1-5-32-545:(OI)(CI)M /T /Q'
  Pop $0
  ; The sample configuration where the node reads it, only when there is none
  ; yet, with the 3ds Max releases found in the registry filled in.
  ${IfNot} ${FileExists} "$DataDir\drData\DrConfig.txt"
    CopyFiles /SILENT "$INSTDIR\DrConfig sample.txt" "$DataDir\drData\DrConfig.txt"
    FileOpen $R9 "$DataDir\drData\DrConfig.txt" a
    FileSeek $R9 0 END
    FileWrite $R9 "$\r$\n# Found by the installer in the registry:$\r$\n"
    Call AppendRegistryReleases
    FileClose $R9
    DetailPrint "drData\DrConfig.txt written with $R8 3ds Max release(s) from the registry"
  ${Else}
    DetailPrint "drData\DrConfig.txt kept as it is"
  ${EndIf}

  ; Start menu. "Start in" of a shortcut is the output path at its creation.
  SetOutPath "$DataDir"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${NODE_EXE}" "" "$INSTDIR\${NODE_EXE}" 0 \
    SW_SHOWNORMAL "" "Start the ${PRODUCT} (data in $DataDir\drData)"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Windows guide.lnk" "$INSTDIR\${GUIDE}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Data folder (drData).lnk" "$DataDir\drData"

  ; Windows Firewall: the masters' discovery ping and connections, for the
  ; node program only. Old rules of the same names go first (upgrades).
  nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_UDP}"'
  Pop $0
  nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_TCP}"'
  Pop $0
  nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${RULE_UDP}" dir=in action=allow program="$INSTDIR\${NODE_EXE}" protocol=UDP localport=19666 profile=any enable=yes'
  Pop $0
  DetailPrint "Firewall rule ${RULE_UDP}: $0"
  nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${RULE_TCP}" dir=in action=allow program="$INSTDIR\${NODE_EXE}" protocol=TCP localport=19668 profile=any enable=yes'
  Pop $0
  DetailPrint "Firewall rule ${RULE_TCP}: $0"

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Varnix"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${NODE_EXE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DataFolder" "$DataDir"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; On by default; /NOAUTOSTART leaves it out (see .onInit).
Section "Start the node at logon (all users)" SecAutostart
  ; A shortcut in the all-users Startup folder, so that the node starts in
  ; its data folder: a Run-key entry cannot give it a working directory.
  SetOutPath "$DataDir"
  CreateShortCut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\${NODE_EXE}" "" "$INSTDIR\${NODE_EXE}" 0 \
    SW_SHOWNORMAL "" "Start the ${PRODUCT} (data in $DataDir\drData)"
SectionEnd

Section "-Without autostart"
  ; An upgrade without the option drops an older Startup shortcut.
  ${IfNot} ${SectionIsSelected} ${SecAutostart}
    Delete "$SMSTARTUP\${PRODUCT}.lnk"
  ${EndIf}
SectionEnd

Function .onInit
  SetRegView 64
  !insertmacro SetDataDir
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "The ${PRODUCT} needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  ; An upgrade goes where the installed version is, unless /D says otherwise.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $INSTDIR == "$PROGRAMFILES64\${PRODUCT}"
    StrCpy $INSTDIR $0
  ${EndIf}
  ; /NOAUTOSTART: no start at logon (for silent installs).
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/NOAUTOSTART" $1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecAutostart} 0
  ${EndIf}
FunctionEnd

Section "Uninstall"
  !insertmacro StopNode

  nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_UDP}"'
  Pop $0
  nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_TCP}"'
  Pop $0

  Delete "$SMSTARTUP\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Windows guide.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Data folder (drData).lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  Delete "$INSTDIR\${NODE_EXE}"
  Delete "$INSTDIR\drmaster.exe"
  Delete "$INSTDIR\${GUIDE}"
  Delete "$INSTDIR\DrConfig sample.txt"
  Delete "$INSTDIR\${TEST_RENDERER}\3dsmaxcmd.exe"
  Delete "$INSTDIR\${TEST_RENDERER}\sample-scene.max"
  Delete "$INSTDIR\${TEST_RENDERER}\README.txt"
  Delete "$INSTDIR\${TEST_RENDERER}\Try the node.cmd"
  Delete "$INSTDIR\${TEST_RENDERER}\maxstub-record.txt"
  Delete "$INSTDIR\${TEST_RENDERER}\maxstub-behaviour.txt"
  RMDir "$INSTDIR\${TEST_RENDERER}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"

  ; The data folder stays: DrConfig.txt and the log outlive the program.
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
