; Installer of the Varnix DR node for 64-bit Windows, built by
; scripts/package-windows with NSIS (makensis) on Debian.
;
; makensis -DVERSION=6.1.0 -DSTAGE=<staged release folder> -DICON=<.ico> -DOUTFILE=<setup.exe>
;   -DPE_MANIFEST=<scripts/pe-manifest> VarnixNode.nsi
;
; Per-machine install into Program Files; the node's working directory is the
; fixed folder %ProgramData%\Varnix DR node (kept across upgrades and by the
; uninstaller together with its drData), used by every shortcut and the task.
; Silent: setup.exe /S [options] [/D=<install folder>]; Uninstall.exe /S
; _?=<install folder> (waits for its end; the uninstall entry's
; QuietUninstallString). Options may be quoted whole ("/CONFIG=C:\a b.txt",
; as PowerShell passes them) or in their value, in any case (/s is /S); an
; unknown one fails. A run where nobody could see a wizard (session 0, as a
; deployment tool's agent runs it, or a hidden window station) is silent.
; Options (the Windows guide explains them; those marked * are remembered
; and used again by later upgrades that do not name them):
;   /NOAUTOSTART, /AUTOSTART *   no start at logon / start at logon again
;   /MASTERS=<addresses> *       who may reach the node (netsh remoteip syntax)
;   /PROFILES=<profiles> *       firewall profiles of the rules
;   /STOPWAIT=<seconds>          how long a running job may finish first (this run;
;                                Uninstall.exe takes it too)
;   /USER=<account> *            the logon task only for that account; "*": every
;                                user; empty (/USER=) or never given: every user
;                                but administrators
;   /CONFIG=<file>               installs that file as drData\DrConfig.txt, once
;                                a node would take every line of it
;   /LOG=<file>                  the install log there (default: in the data folder)
;   /MODE=desktop|service *      desktop: the log window at logon (the default);
;                                service: the Windows service VarnixNode at boot,
;                                the companion window at logon
;   /SERVICEACCOUNT=<account> *  the service's account (default the virtual
;                                account NT SERVICE\VarnixNode; "*" goes back to it;
;                                LocalSystem only when named); /SERVICEPASSWORD=
;                                <password> its password, never logged nor remembered
;   /NOCRASHDIALOG, /CRASHDIALOG *  Windows Error Reporting shows no crash dialog
;                                on this machine (a crashed 3ds Max exits) / shows
;                                it again as before; the uninstall restores it too
;   /STATUSHTTP=<address:port> * the node serves /metrics and /status over HTTP
;                                there (statusHttpAddress), and a firewall rule
;                                for that port, scoped as the others, lets them
;                                in; an empty value (/STATUSHTTP=) turns it off
;   /STATUS=<off|addresses>      who gets the status answer on UDP 19666
;                                (statusAnswer): nobody, or the addresses named
;                                as for /MASTERS= (10.0.0.21,10.0.0.0/24,
;                                10.0.0.1-10.0.0.9); an empty /STATUS= gives it
;                                to every sender again, the default
;   /NEWESTMAX=<year>            the newest 3ds Max release the node takes
;                                (newestMaxRelease, 2017 to 2030); 2016 or
;                                below removes the value: releases up to 2016
; Exit codes: 0 done; 1 cancelled; 2 aborted; 10 a file could not be
; replaced; 11 a step failed (firewall, permissions, task, configuration);
; 12 the running node would not stop (no file was replaced or removed);
; 13 a bad command line or /CONFIG= file (nothing was changed); 14 another
; install or uninstall of the node still ran after the wait (nothing changed).

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
; With a certificate (scripts/package-windows), the installer and the
; uninstaller it writes are signed once they are complete.
!ifdef SIGN
  !finalize '"${SIGN}" "%1"'
  !uninstfinalize '"${SIGN}" "%1"'
!endif

!define PRODUCT "Varnix DR node"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Varnix DR node"
!define NODE_EXE "VarnixNode.exe"
!define TEST_RENDERER "Test renderer (not 3ds Max)"
!define GUIDE "Windows guide.html"
!define RULE_UDP "Varnix DR node: discovery (UDP 19666)"
!define RULE_TCP "Varnix DR node: masters (TCP 19668)"
; One name whatever the port, so that a changed port replaces the rule.
!define RULE_HTTP "Varnix DR node: metrics (HTTP)"
!define SERVICE "VarnixNode"
!define SERVICE_DISPLAY "Varnix DR node"
; The service's default account: Windows makes it with the service, it has
; no password to keep, a user's rights (and the folders granted to it), and
; it reaches the network as the computer.
!define VIRTUAL_ACCOUNT "NT SERVICE\${SERVICE}"

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

!define OPTIONS_KEY "Software\Varnix\DR node"
!define WER_KEY "SOFTWARE\Microsoft\Windows\Windows Error Reporting"
; Where the node reads its admin's settings (statusHttpAddress among them).
!define NODE_KEY "SOFTWARE\Varnix"
!define KEEPER_EXE "VarnixNodeKeeper.exe"
!define TASK "Varnix DR node"
!define STOP_TASK "Varnix DR node (close)"
!define TASK_XML "Logon task.xml"
!define STOP_TASK_XML "Close task.xml"
; The node's window title, how the installer finds a node in its own session.
!define WINDOW_TITLE "Varnix Tarvo | Alpha v6.1"
!define INSTALL_LOG "Install log.txt"
!define DEFAULT_MASTERS "localsubnet"
!define DEFAULT_PROFILES "domain,private"
!define DEFAULT_STOPWAIT 600
!define EXIT_FILE 10
!define EXIT_STEP 11
!define EXIT_STOP 12
!define EXIT_OPTION 13
!define EXIT_BUSY 14
; Held by every installer and uninstaller run, so that one waits for the other.
!define MUTEX "Global\Varnix DR node setup"
; The well-known SIDs, so that the lines work on every display language.
!define SID_SYSTEM "*S-1-5-18"
!define SID_ADMINS "*S-1-5-32-544"
!define SID_USERS "*S-1-5-32-545"

Var DataDir
Var LogFile      ; 1 once the install log can be written, else ""
Var LogHandle
Var LogPath
Var Autostart    ; 1 or 0
Var Masters
Var Profiles
Var User         ; the account whose logon starts the node; "*" every user's; "" every user's but administrators'
Var ScopeGiven   ; 1 when /MASTERS= or /PROFILES= is on this command line
Var StopWait
Var ConfigFile
Var WasRunning   ; 1 when the stop step found a running node
Var ExitCode     ; 0, or the first failure's exit code
Var FilesFailed  ; 1 when a program file could not be installed
Var Mutex
; The command line's options ("" when not given; /NOAUTOSTART 0, /AUTOSTART 1).
Var OptAutostart
Var OptMasters
Var OptProfiles
Var OptStopWait
Var OptConfig
Var OptLog
Var OptUser
Var OptNoCrashDialog
Var NoCrashDialog ; 1: Windows Error Reporting's crash dialog is kept off
Var DirGiven     ; 1 when /D= is on the command line
Var OldDir       ; the program folder of the version installed, "" for none
Var BadOptions
Var Mode         ; "desktop" or "service"
Var OldMode      ; the mode installed, "" for none
Var OptMode
Var ServiceAccount ; "" for ${VIRTUAL_ACCOUNT}
Var OptServiceAccount
Var OptServicePassword
Var LogAs        ; what Run logs instead of the command line ("": the command)
Var StatusHttp   ; ADDRESS:PORT of /metrics and /status, "" for none
Var OptStatusHttp ; "" not given, "off" for an empty /STATUSHTTP=, else ADDRESS:PORT
Var NoDesktop    ; 1 when nobody could see a wizard (session 0, a hidden window station)
Var OptStatus    ; "" not given, "any" for an empty /STATUS=, else off or addresses
Var OptNewestMax ; "" not given, else the release year of /NEWESTMAX=

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

; Appends to the install log. Opened for each line: another run of the
; installer or the uninstaller may append between two of ours, and a handle
; kept open would write over its lines.
!macro LogWrite text
  ${If} $LogFile != ""
    FileOpen $LogHandle "$LogPath" a
    FileSeek $LogHandle 0 END
    FileWrite $LogHandle "${text}"
    FileClose $LogHandle
  ${EndIf}
!macroend

; A line in the details window and in the install log.
!macro Log text
  DetailPrint "${text}"
  !insertmacro LogWrite "${text}$\r$\n"
!macroend
!define Log "!insertmacro Log"

; The first failure decides the exit code.
!macro Failed code text
  ${Log} "FAILED: ${text}"
  ${If} $ExitCode == 0
    StrCpy $ExitCode ${code}
  ${EndIf}
!macroend
!define Failed "!insertmacro Failed"

; Ends the run with an exit code, the log closed.
!macro Finish code
  ${Log} "Finished with exit code ${code}"
  StrCpy $LogFile ""
  SetErrorLevel ${code}
!macroend

; Removes the program's files from the folder `dir` (Uninstall.exe aside).
!macro RemoveProgramFiles dir
  Delete "${dir}\${NODE_EXE}"
  Delete "${dir}\${KEEPER_EXE}"
  Delete "${dir}\drmaster.exe"
  Delete "${dir}\drmaster.exe.*.old"
  Delete "${dir}\${GUIDE}"
  Delete "${dir}\DrConfig sample.txt"
  Delete "${dir}\${TASK_XML}"
  Delete "${dir}\${STOP_TASK_XML}"
  Delete "${dir}\${TEST_RENDERER}\3dsmaxcmd.exe"
  Delete "${dir}\${TEST_RENDERER}\sample-scene.max"
  Delete "${dir}\${TEST_RENDERER}\README.txt"
  Delete "${dir}\${TEST_RENDERER}\Try the node.cmd"
  Delete "${dir}\${TEST_RENDERER}\maxstub-record.txt"
  Delete "${dir}\${TEST_RENDERER}\maxstub-behaviour.txt"
  RMDir "${dir}\${TEST_RENDERER}"
!macroend

; Functions both the installer and the uninstaller call (the latter's names
; start with "un.").
!macro SharedFunctions un
  ; Opens the install log for appending (/LOG= or the data folder).
  Function ${un}OpenLog
    ${IfThen} $LogFile != "" ${|} Return ${|}
    CreateDirectory "$DataDir"
    ClearErrors
    FileOpen $LogHandle "$LogPath" a
    ${If} ${Errors}
      DetailPrint "Cannot write the install log $LogPath"
      Return
    ${EndIf}
    FileClose $LogHandle
    StrCpy $LogFile 1
    ; The command line first: WithoutPassword uses $5 to $9, which hold the time.
    ${GetParameters} $7
    Call ${un}WithoutPassword
    ${GetTime} "" "L" $0 $1 $2 $3 $4 $5 $6
    !insertmacro LogWrite "$\r$\n$2-$1-$0 $4:$5:$6  $(^Name), $EXEPATH $7$\r$\n"
  FunctionEnd

  ; Waits until no other run of the installer or the uninstaller goes on,
  ; up to $R0 seconds, and then holds the mutex until this run ends. An
  ; uninstaller started without _?= copies itself to $TEMP\~nsu*.tmp,
  ; starts the copy and returns at once: a setup run right after it may come
  ; before the copy took the mutex, so a running copy there (its file cannot
  ; be opened for writing) is waited for too. $0 = 1 when this run may go on.
  Function ${un}WaitForOtherRuns
    System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${MUTEX}") p .s'
    Pop $Mutex
    StrCpy $R1 0
    StrCpy $R2 0
    ${Do}
      System::Call 'kernel32::WaitForSingleObject(p $Mutex, i 1000) i .r0'
      ; WAIT_OBJECT_0 or WAIT_ABANDONED (the holder ended): ours now.
      ${If} $0 == 0
      ${OrIf} $0 == 128
        !if "${un}" == ""
          Call UninstallerCopyRuns
          ${IfThen} $0 == 0 ${|} ${Break} ${|}
          System::Call 'kernel32::ReleaseMutex(p $Mutex)'
          Sleep 1000
        !else
          ${Break}
        !endif
      ${EndIf}
      ${If} $R2 == 0
        StrCpy $R2 1
        ${Log} "Another install or uninstall of the ${PRODUCT} is running: waiting up to $R0 s for its end"
      ${EndIf}
      IntOp $R1 $R1 + 1
      ${If} $R1 >= $R0
        StrCpy $0 0
        Return
      ${EndIf}
    ${Loop}
    ${IfThen} $R2 == 1 ${|} ${Log} "The other install or uninstall has ended" ${|}
    StrCpy $0 1
  FunctionEnd

  ; $7 with the value of /SERVICEPASSWORD= (quoted or not) replaced by
  ; "(hidden)": the install log never holds a password.
  Function ${un}WithoutPassword
    StrCpy $8 ""
    StrCpy $9 0
    ${Do}
      StrCpy $6 $7 17 $9
      ${If} $6 == "/SERVICEPASSWORD="
        StrCpy $8 "$8$6(hidden)"
        IntOp $9 $9 + 17
        ; A quote before the option or in its value keeps spaces in it.
        IntOp $5 $9 - 18
        ${If} $5 >= 0
          StrCpy $5 $7 1 $5
        ${EndIf}
        ${If} $5 == '"'
          StrCpy $5 1
        ${Else}
          StrCpy $5 0
        ${EndIf}
        ${Do}
          StrCpy $6 $7 1 $9
          ${IfThen} $6 == "" ${|} ${Break} ${|}
          ${If} $6 == '"'
            IntOp $5 1 - $5
          ${ElseIf} $6 == " "
          ${AndIf} $5 == 0
            ${Break}
          ${EndIf}
          IntOp $9 $9 + 1
        ${Loop}
        ${Continue}
      ${EndIf}
      StrCpy $6 $7 1 $9
      ${IfThen} $6 == "" ${|} ${Break} ${|}
      StrCpy $8 "$8$6"
      IntOp $9 $9 + 1
    ${Loop}
    StrCpy $7 $8
  FunctionEnd

  ; Runs the command line on the stack, logs it (or $LogAs, when set, for a
  ; command that holds a password) with its exit code and output; $0 = the
  ; exit code ("error" when it could not be started).
  Function ${un}Run
    Exch $R0
    Push $R1
    Push $R2
    ; A program that could not be started at all ("error": seen once for
    ; sc.exe on a loaded machine) is tried again a few times.
    StrCpy $R2 0
    ${Do}
      nsExec::ExecToStack '$R0'
      Pop $0
      Pop $R1
      ${IfThen} $0 != "error" ${|} ${Break} ${|}
      IntOp $R2 $R2 + 1
      ${IfThen} $R2 >= 5 ${|} ${Break} ${|}
      Sleep 1000
    ${Loop}
    ${If} $R2 != 0
      !insertmacro LogWrite "(the command could not be started $R2 time(s); tried again)$\r$\n"
    ${EndIf}
    ${If} $LogAs != ""
      ${Log} "> $LogAs  [exit $0]"
      StrCpy $LogAs ""
    ${Else}
      ${Log} "> $R0  [exit $0]"
    ${EndIf}
    ${If} $R1 != ""
      !insertmacro LogWrite "$R1$\r$\n"
    ${EndIf}
    Pop $R2
    Pop $R1
    Pop $R0
  FunctionEnd

  ; $4 = the system's text for the error code $3.
  Function ${un}SystemReason
    ; FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS
    System::Call 'kernel32::FormatMessageW(i 0x1200, p 0, i r3, i 0, w .r4, i ${NSIS_MAX_STRLEN}, p 0) i .r5'
    ${If} $5 == 0
      StrCpy $4 "no text for it"
    ${EndIf}
    StrCpy $5 $4 "" -2
    ${IfThen} $5 == "$\r$\n" ${|} StrCpy $4 $4 -2 ${|}
  FunctionEnd

  ; $0 = the Windows session this run is in (0: a service, such as a
  ; deployment tool's agent running as SYSTEM).
  Function ${un}SessionId
    System::Call 'kernel32::GetCurrentProcessId() i .r1'
    System::Call 'kernel32::ProcessIdToSessionId(i r1, *i .r0) i .r2'
    ${IfThen} $2 == 0 ${|} StrCpy $0 1 ${|}
  FunctionEnd

  ; Makes the run silent when /S is on its command line in any case (the
  ; installer's own reading takes "/S" only) or when nobody could answer a
  ; wizard: in session 0 or on a window station that is not shown
  ; ($NoDesktop = 1 then). A wizard there would wait for ever, holding the
  ; setup mutex that every later run waits for.
  Function ${un}SilentWhereNobodySees
    StrCpy $NoDesktop 0
    Call ${un}SessionId
    ${IfThen} $0 == 0 ${|} StrCpy $NoDesktop 1 ${|}
    System::Call 'user32::GetProcessWindowStation() p .r1'
    System::Call '*(i 0, i 0, i 0) p .r2'
    ; UOI_FLAGS; WSF_VISIBLE
    System::Call 'user32::GetUserObjectInformationW(p r1, i 1, p r2, i 12, *i .r3) i .r4'
    ${If} $4 != 0
      System::Call '*$2(i, i, i .r5)'
      IntOp $5 $5 & 1
      ${IfThen} $5 == 0 ${|} StrCpy $NoDesktop 1 ${|}
    ${EndIf}
    System::Free $2
    ${If} $NoDesktop == 1
      SetSilent silent
      Return
    ${EndIf}
    ; "/s" as an argument of its own (quoted or not); StrCmp ignores case.
    StrCpy $1 0
    ${Do}
      StrCpy $2 $CMDLINE 2 $1
      ${IfThen} $2 == "" ${|} ${Break} ${|}
      ${If} $2 == "/S"
        StrCpy $3 " "
        IntOp $4 $1 - 1
        ${IfThen} $4 >= 0 ${|} StrCpy $3 $CMDLINE 1 $4 ${|}
        IntOp $4 $1 + 2
        StrCpy $4 $CMDLINE 1 $4
        ${IfThen} $3 == '"' ${|} StrCpy $3 " " ${|}
        ${IfThen} $4 == '"' ${|} StrCpy $4 "" ${|}
        ${IfThen} $4 == " " ${|} StrCpy $4 "" ${|}
        ${If} $3 == " "
        ${AndIf} $4 == ""
          SetSilent silent
          Return
        ${EndIf}
      ${EndIf}
      IntOp $1 $1 + 1
    ${Loop}
  FunctionEnd

  ; $0 = 1 when a VarnixNode.exe runs: its window in this session, or the
  ; process in any session (tasklist sees them all when run as SYSTEM).
  Function ${un}NodeRunning
    FindWindow $0 "" "${WINDOW_TITLE}"
    ${If} $0 != 0
      StrCpy $0 1
      Return
    ${EndIf}
    nsExec::ExecToStack '"$SYSDIR\tasklist.exe" /fi "imagename eq ${NODE_EXE}" /fo csv /nh'
    Pop $0
    Pop $1
    StrCpy $0 0
    StrLen $3 "${NODE_EXE}"
    StrCpy $2 0
    ${Do}
      StrCpy $4 $1 $3 $2
      ${IfThen} $4 == "" ${|} ${Break} ${|}
      ${If} $4 == "${NODE_EXE}"
        StrCpy $0 1
        ${Break}
      ${EndIf}
      IntOp $2 $2 + 1
    ${Loop}
  FunctionEnd

  ; Waits up to $R0 seconds for the node to be gone; $0 = 1 while it runs.
  Function ${un}WaitNodeGone
    StrCpy $R1 0
    ${Do}
      Call ${un}NodeRunning
      ${IfThen} $0 == 0 ${|} Return ${|}
      ${IfThen} $R1 >= $R0 ${|} Return ${|}
      Sleep 1000
      IntOp $R1 $R1 + 1
    ${Loop}
  FunctionEnd

  ; Asks the running node to close as its window's close box does.
  ; taskkill without /f reaches windows of this session only; a node in
  ; another session (this installer run as SYSTEM) is asked by the close
  ; task, which runs taskkill in the session of each logged-on user.
  Function ${un}AskNodeToClose
    Push '"$SYSDIR\taskkill.exe" /im ${NODE_EXE}'
    Call ${un}Run
    ${If} $0 != 0
      Push '"$SYSDIR\schtasks.exe" /run /tn "${STOP_TASK}"'
      Call ${un}Run
    ${EndIf}
  FunctionEnd

  ; Removes the copies of uninstallers that earlier runs left in
  ; $TEMP\~nsu*.tmp (NSIS has them deleted only at the next restart), but
  ; a running one (its file cannot be opened for writing) and this run's
  ; own folder. Called while this run holds the mutex.
  Function ${un}RemoveUninstallerCopies
    GetFullPathName /SHORT $R9 $EXEDIR
    FindFirst $R3 $R4 "$TEMP\~nsu*.tmp"
    ${DoWhile} $R4 != ""
      GetFullPathName /SHORT $R8 "$TEMP\$R4"
      StrCpy $R7 0
      ${If} $R8 == $R9
        StrCpy $R7 1
      ${EndIf}
      FindFirst $R5 $R6 "$TEMP\$R4\*.exe"
      ${DoWhile} $R6 != ""
        ClearErrors
        FileOpen $0 "$TEMP\$R4\$R6" a
        ${If} ${Errors}
          StrCpy $R7 1
        ${Else}
          FileClose $0
        ${EndIf}
        FindNext $R5 $R6
      ${Loop}
      FindClose $R5
      ${If} $R7 == 0
        RMDir /r "$TEMP\$R4"
      ${EndIf}
      FindNext $R3 $R4
    ${Loop}
    FindClose $R3
  FunctionEnd

  ; $0 = 1 when the service is installed.
  Function ${un}ServiceInstalled
    ClearErrors
    ReadRegStr $0 HKLM "SYSTEM\CurrentControlSet\Services\${SERVICE}" "ImagePath"
    ${If} ${Errors}
      StrCpy $0 0
    ${Else}
      StrCpy $0 1
    ${EndIf}
  FunctionEnd

  ; $0 = the service's state as its manager has it (1 stopped, 3 stop
  ; pending, 4 running; 0 when it cannot be asked).
  Function ${un}ServiceState
    StrCpy $0 0
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
    ${IfThen} $1 == 0 ${|} Return ${|}
    System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE}", i 4) p .r2'
    ${If} $2 != 0
      System::Call '*(&i28) p .r3'
      System::Call 'advapi32::QueryServiceStatus(p r2, p r3) i .r4'
      ${If} $4 != 0
        System::Call '*$3(i, i .r0)'
      ${EndIf}
      System::Free $3
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  FunctionEnd

  ; Waits up to $R0 seconds for the service to have stopped; $0 = 1 while
  ; it has not.
  Function ${un}WaitServiceStopped
    StrCpy $R1 0
    ${Do}
      Call ${un}ServiceState
      ${If} $0 == 1
      ${OrIf} $0 == 0
        StrCpy $0 0
        Return
      ${EndIf}
      StrCpy $0 1
      ${IfThen} $R1 >= $R0 ${|} Return ${|}
      Sleep 1000
      IntOp $R1 $R1 + 1
    ${Loop}
  FunctionEnd

  ; Removes the service; $0 = 0 once its entry is gone. It waits for the
  ; service to have stopped (its process may still be ending), calls the
  ; manager itself (no sc.exe to fail to start) and tries again for up to
  ; a minute while the manager refuses, each new refusal logged with the
  ; system's reason; a service marked for deletion stays until the last
  ; handle to it is closed, so its entry is waited for too.
  Function ${un}RemoveService
    StrCpy $R0 60
    Call ${un}WaitServiceStopped
    ${IfThen} $0 == 1 ${|} ${Log} "The service ${SERVICE} has not stopped after 60 s; removing it all the same" ${|}
    StrCpy $R2 ""
    ${For} $R1 1 60
      ; SC_MANAGER_CONNECT; DELETE | SERVICE_QUERY_STATUS
      System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1 ?e'
      Pop $3
      ${If} $1 != 0
        System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE}", i 0x10004) p .r2 ?e'
        Pop $3
        ${If} $2 != 0
          System::Call 'advapi32::DeleteService(p r2) i .r4 ?e'
          Pop $3
          ${IfThen} $4 != 0 ${|} StrCpy $3 0 ${|}
          System::Call 'advapi32::CloseServiceHandle(p r2)'
        ${EndIf}
        System::Call 'advapi32::CloseServiceHandle(p r1)'
      ${EndIf}
      ; Removed, already marked for deletion, or no longer there.
      ${If} $3 == 0
      ${OrIf} $3 == 1072
      ${OrIf} $3 == 1060
        ${Break}
      ${EndIf}
      ${If} $3 != $R2
        StrCpy $R2 $3
        Call ${un}SystemReason
        ${Log} "The service manager did not remove ${SERVICE} (error $3: $4); trying again for up to a minute"
      ${EndIf}
      Sleep 1000
    ${Next}
    ${If} $3 != 0
    ${AndIf} $3 != 1072
    ${AndIf} $3 != 1060
      Call ${un}SystemReason
      ${Log} "The service ${SERVICE} could not be removed: error $3: $4"
      StrCpy $0 1
      Return
    ${EndIf}
    ${For} $R1 1 60
      Call ${un}ServiceInstalled
      ${IfThen} $0 == 0 ${|} ${Break} ${|}
      Sleep 1000
    ${Next}
    ${If} $0 == 1
      ${Log} "The service ${SERVICE} is marked for deletion but still there after 60 s: a program (the Services console?) holds it open"
    ${Else}
      ${Log} "The service ${SERVICE} is removed"
    ${EndIf}
  FunctionEnd

  ; Stops the service as the node's close box would: the manager's stop
  ; lets a running job finish, for up to $StopWait seconds; then a second
  ; stop, which cuts the job. The manager refuses a second stop control
  ; while one is pending, so the second comes through the event the
  ; service watches for it.
  Function ${un}StopService
    Call ${un}ServiceState
    ${If} $0 != 4
    ${AndIf} $0 != 3
      Return
    ${EndIf}
    StrCpy $WasRunning 1
    ${Log} "Stopping the service ${SERVICE}; a running job may take up to $StopWait s (/STOPWAIT=)"
    Push '"$SYSDIR\sc.exe" stop ${SERVICE}'
    Call ${un}Run
    StrCpy $R0 $StopWait
    Call ${un}WaitServiceStopped
    ${If} $0 == 1
      ${Log} "Still stopping after $StopWait s: asking again, which ends the running job"
      ; EVENT_MODIFY_STATE
      System::Call 'kernel32::OpenEventW(i 2, i 0, w "Global\${SERVICE}.stop") p .r1'
      ${If} $1 != 0
        System::Call 'kernel32::SetEvent(p r1)'
        System::Call 'kernel32::CloseHandle(p r1)'
      ${EndIf}
      StrCpy $R0 60
      Call ${un}WaitServiceStopped
    ${EndIf}
    ${If} $0 == 0
      ${Log} "The service ${SERVICE} has stopped"
    ${EndIf}
  FunctionEnd

  ; Stops a running node before its files are replaced or removed: the
  ; keeper first (it would start a node ended by force again), then the node
  ; is asked to close and given $StopWait seconds to finish a running job;
  ; then asked a second time, which ends the job's processes and the node;
  ; then ended by force. Sets $WasRunning; quits with EXIT_STOP when it
  ; still runs.
  Function ${un}StopNode
    StrCpy $WasRunning 0
    Push '"$SYSDIR\taskkill.exe" /f /im ${KEEPER_EXE}'
    Call ${un}Run
    ; The service first; then whatever still runs (the companion window,
    ; a desktop node, a service that would not stop) as before.
    Call ${un}StopService
    Call ${un}NodeRunning
    ${If} $0 == 0
      ${IfThen} $WasRunning == 0 ${|} ${Log} "No ${PRODUCT} is running" ${|}
      Return
    ${EndIf}
    StrCpy $WasRunning 1
    ${Log} "Closing the running ${PRODUCT}; a running job may take up to $StopWait s (/STOPWAIT=)"
    Call ${un}AskNodeToClose
    StrCpy $R0 $StopWait
    Call ${un}WaitNodeGone
    ${If} $0 == 1
      ${Log} "Still running after $StopWait s: asking again, which ends the running job"
      Call ${un}AskNodeToClose
      StrCpy $R0 60
      Call ${un}WaitNodeGone
    ${EndIf}
    ${If} $0 == 1
      ${Log} "Still running: ending it by force"
      Push '"$SYSDIR\taskkill.exe" /f /t /im ${NODE_EXE}'
      Call ${un}Run
      ${If} $0 != 0
        ; A taskkill without /t (Wine's) still ends the node itself.
        Push '"$SYSDIR\taskkill.exe" /f /im ${NODE_EXE}'
        Call ${un}Run
      ${EndIf}
      StrCpy $R0 10
      Call ${un}WaitNodeGone
    ${EndIf}
    ${If} $0 == 1
      ${Log} "FAILED: the ${PRODUCT} would not stop; no file was replaced or removed"
      !insertmacro Finish ${EXIT_STOP}
      Quit
    ${EndIf}
    ${Log} "The ${PRODUCT} has stopped"
  FunctionEnd
!macroend
; Puts Windows Error Reporting's DontShowUI back as it was before
; /NOCRASHDIALOG changed it (the value or its absence), when it did.
!macro RestoreCrashDialog un
  Function ${un}RestoreCrashDialog
    ReadRegStr $0 HKLM "${OPTIONS_KEY}" "DontShowUIBefore"
    ${IfThen} $0 == "" ${|} Return ${|}
    ${If} $0 == "none"
      DeleteRegValue HKLM "${WER_KEY}" "DontShowUI"
    ${Else}
      WriteRegDWORD HKLM "${WER_KEY}" "DontShowUI" $0
    ${EndIf}
    DeleteRegValue HKLM "${OPTIONS_KEY}" "DontShowUIBefore"
    ${Log} "Windows Error Reporting's crash dialog is as it was before /NOCRASHDIALOG"
  FunctionEnd
!macroend
!insertmacro RestoreCrashDialog ""
!insertmacro RestoreCrashDialog "un."

; $0 = 1 when a copy of an uninstaller runs from $TEMP\~nsu*.tmp.
Function UninstallerCopyRuns
  StrCpy $0 0
  FindFirst $R3 $R4 "$TEMP\~nsu*.tmp"
  ${DoWhile} $R4 != ""
    FindFirst $R5 $R6 "$TEMP\$R4\*.exe"
    ${DoWhile} $R6 != ""
      ClearErrors
      FileOpen $R7 "$TEMP\$R4\$R6" a
      ${If} ${Errors}
        StrCpy $0 1
      ${Else}
        FileClose $R7
      ${EndIf}
      FindNext $R5 $R6
    ${Loop}
    FindClose $R5
    FindNext $R3 $R4
  ${Loop}
  FindClose $R3
FunctionEnd

!insertmacro SharedFunctions ""
!insertmacro SharedFunctions "un."

; $0 = $0 with &, < and > written as XML wants them (a folder "R&D" made
; the task file invalid).
Function XmlText
  StrCpy $1 ""
  StrCpy $2 0
  ${Do}
    StrCpy $3 $0 1 $2
    ${IfThen} $3 == "" ${|} ${Break} ${|}
    ${If} $3 == "&"
      StrCpy $3 "&amp;"
    ${ElseIf} $3 == "<"
      StrCpy $3 "&lt;"
    ${ElseIf} $3 == ">"
      StrCpy $3 "&gt;"
    ${EndIf}
    StrCpy $1 "$1$3"
    IntOp $2 $2 + 1
  ${Loop}
  StrCpy $0 $1
FunctionEnd

; Writes the task file $R0 (UTF-16, as schtasks wants it): in the session of
; the logon, least privilege, no time limit, runs $R1 with arguments $R2 in
; the data folder; $R3 "true" or "false" enables the logon trigger, "" gives
; none. For the account $R5 alone (its logon), or every member of Users
; when $R5 is "".
Function WriteTaskXml
  StrCpy $0 $R1
  Call XmlText
  StrCpy $R6 $0
  StrCpy $0 $R2
  Call XmlText
  StrCpy $R7 $0
  StrCpy $0 $DataDir
  Call XmlText
  StrCpy $R8 $0
  StrCpy $0 $R5
  Call XmlText
  StrCpy $R9 $0
  FileOpen $9 "$R0" w
  FileWriteUTF16LE /BOM $9 '<?xml version="1.0" encoding="UTF-16"?>$\r$\n'
  FileWriteUTF16LE $9 '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">$\r$\n'
  FileWriteUTF16LE $9 '  <RegistrationInfo><Description>Made by the installer of the ${PRODUCT}</Description></RegistrationInfo>$\r$\n'
  ${If} $R3 == ""
  ${ElseIf} $R5 != ""
    FileWriteUTF16LE $9 '  <Triggers><LogonTrigger><Enabled>$R3</Enabled><UserId>$R9</UserId></LogonTrigger></Triggers>$\r$\n'
  ${Else}
    FileWriteUTF16LE $9 '  <Triggers><LogonTrigger><Enabled>$R3</Enabled></LogonTrigger></Triggers>$\r$\n'
  ${EndIf}
  ${If} $R5 != ""
    FileWriteUTF16LE $9 '  <Principals><Principal id="Users"><UserId>$R9</UserId><LogonType>InteractiveToken</LogonType><RunLevel>LeastPrivilege</RunLevel></Principal></Principals>$\r$\n'
  ${Else}
    FileWriteUTF16LE $9 '  <Principals><Principal id="Users"><GroupId>S-1-5-32-545</GroupId><RunLevel>LeastPrivilege</RunLevel></Principal></Principals>$\r$\n'
  ${EndIf}
  FileWriteUTF16LE $9 '  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy><DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries><StopIfGoingOnBatteries>false</StopIfGoingOnBatteries><ExecutionTimeLimit>PT0S</ExecutionTimeLimit><Priority>5</Priority></Settings>$\r$\n'
  FileWriteUTF16LE $9 '  <Actions Context="Users"><Exec><Command>$R6</Command><Arguments>$R7</Arguments><WorkingDirectory>$R8</WorkingDirectory></Exec></Actions>$\r$\n'
  FileWriteUTF16LE $9 '</Task>$\r$\n'
  FileClose $9
FunctionEnd

; Registers the task named $R4 from the file $R0 (see WriteTaskXml).
Function RegisterTask
  Call WriteTaskXml
  Push '"$SYSDIR\schtasks.exe" /create /tn "$R4" /xml "$R0" /f'
  Call Run
  ${If} $0 != 0
    ${Failed} ${EXIT_STEP} "the scheduled task $R4 was not registered"
  ${EndIf}
FunctionEnd

; One inbound rule ($R0 name, $R1 protocol, $R2 port) for the node only. A
; rule found keeps its scope (the admin may have narrowed it) unless
; /MASTERS= or /PROFILES= is given; a new one gets $Masters and $Profiles.
Function FirewallRule
  Push '"$SYSDIR\netsh.exe" advfirewall firewall show rule name="$R0"'
  Call Run
  ${If} $0 == 0
    ${If} $ScopeGiven == 1
      Push '"$SYSDIR\netsh.exe" advfirewall firewall set rule name="$R0" new program="$INSTDIR\${NODE_EXE}" protocol=$R1 localport=$R2 remoteip=$Masters profile=$Profiles enable=yes'
    ${Else}
      ${Log} "Firewall rule $R0 found: its remote addresses and profiles are kept"
      Push '"$SYSDIR\netsh.exe" advfirewall firewall set rule name="$R0" new program="$INSTDIR\${NODE_EXE}" protocol=$R1 localport=$R2 enable=yes'
    ${EndIf}
  ${Else}
    Push '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="$R0" dir=in action=allow program="$INSTDIR\${NODE_EXE}" protocol=$R1 localport=$R2 remoteip=$Masters profile=$Profiles enable=yes'
  ${EndIf}
  Call Run
  ${If} $0 != 0
    ${Failed} ${EXIT_STEP} "firewall rule $R0"
  ${EndIf}
FunctionEnd

; The node's /metrics and /status over HTTP: the registry value it reads at
; its start and a rule for the port, only while /STATUSHTTP= (given now or
; remembered) turns it on; an empty /STATUSHTTP= removes both. Never named,
; it leaves the value alone (an admin may have set it by hand).
Function SetUpStatusHttp
  ${If} $StatusHttp != ""
    WriteRegStr HKLM "${NODE_KEY}" "statusHttpAddress" $StatusHttp
    ${Log} "statusHttpAddress=$StatusHttp under HKLM\${NODE_KEY}: the node serves /metrics and /status there"
    StrCpy $0 $StatusHttp
    Call HttpPort
    StrCpy $R0 "${RULE_HTTP}"
    StrCpy $R1 TCP
    StrCpy $R2 $0
    Call FirewallRule
  ${ElseIf} $OptStatusHttp == "off"
    DeleteRegValue HKLM "${NODE_KEY}" "statusHttpAddress"
    ${Log} "statusHttpAddress removed from HKLM\${NODE_KEY}: no /metrics and /status"
    ; No such rule is no failure.
    Push '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_HTTP}"'
    Call Run
  ${EndIf}
FunctionEnd

; The newest 3ds Max release the node takes, only when /NEWESTMAX= names
; one: the value stays for later upgrades, as an admin's own setting would.
Function SetUpNewestMax
  ${If} $OptNewestMax == ""
    Return
  ${EndIf}
  ${If} $OptNewestMax > 2016
    WriteRegDWORD HKLM "${NODE_KEY}" "newestMaxRelease" $OptNewestMax
    ${Log} "newestMaxRelease=$OptNewestMax under HKLM\${NODE_KEY}: the node takes 3ds Max releases up to $OptNewestMax"
  ${Else}
    DeleteRegValue HKLM "${NODE_KEY}" "newestMaxRelease"
    ${Log} "newestMaxRelease removed from HKLM\${NODE_KEY}: the node takes 3ds Max releases up to 2016"
  ${EndIf}
FunctionEnd

; $0 = the port of ADDRESS:PORT in $0 (an address of letters, digits, dots
; and hyphens, a port from 1 to 65535), "" when it is not one. The value
; goes into a netsh command line: nothing else may pass.
Function HttpPort
  StrCpy $1 -1
  StrCpy $2 0
  ${Do}
    StrCpy $3 $0 1 $2
    ${IfThen} $3 == "" ${|} ${Break} ${|}
    ${IfThen} $3 == ":" ${|} StrCpy $1 $2 ${|}
    IntOp $2 $2 + 1
  ${Loop}
  ${If} $1 < 1
    StrCpy $0 ""
    Return
  ${EndIf}
  ; The address's characters.
  StrCpy $2 0
  ${Do}
    ${IfThen} $2 >= $1 ${|} ${Break} ${|}
    StrCpy $3 $0 1 $2
    StrCpy $4 "abcdefghijklmnopqrstuvwxyz0123456789.-"
    StrCpy $5 0
    ${Do}
      StrCpy $6 $4 1 $5
      ${IfThen} $6 == "" ${|} ${Break} ${|}
      ${IfThen} $6 == $3 ${|} ${Break} ${|}
      IntOp $5 $5 + 1
    ${Loop}
    ${If} $6 == ""
      StrCpy $0 ""
      Return
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
  IntOp $1 $1 + 1
  StrCpy $3 $0 "" $1
  ; A number as written (no sign, no leading zero, nothing after it).
  IntOp $4 $3 + 0
  ${If} "$4" != "$3"
  ${OrIf} $4 < 1
  ${OrIf} $4 > 65535
    StrCpy $0 ""
    Return
  ${EndIf}
  StrCpy $0 $4
FunctionEnd

; Installs one file of the staged release; a file that cannot be replaced
; (in use, read-only) is logged and decides the exit code.
!macro InstallFile source name
  ClearErrors
  File "/oname=${name}" "${STAGE}/${source}"
  ${If} ${Errors}
    ${Failed} ${EXIT_FILE} "could not replace $OUTDIR\${name} (in use or not writable)"
    StrCpy $FilesFailed 1
  ${Else}
    ${Log} "Installed $OUTDIR\${name}"
  ${EndIf}
!macroend

; drmaster.exe may run from the program folder for weeks (farm --serve,
; status --watch). A running program cannot be replaced but can be renamed:
; it goes aside as drmaster.exe.<n>.old, the new one takes its name, and
; the old copy is deleted at the next run of the installer after it ended
; (or at the next restart). Old copies no longer running go first.
Function SetAsideRunningDrmaster
  Delete "$INSTDIR\drmaster.exe.*.old"
  ${IfNot} ${FileExists} "$INSTDIR\drmaster.exe"
    Return
  ${EndIf}
  ClearErrors
  FileOpen $0 "$INSTDIR\drmaster.exe" a
  ${IfNot} ${Errors}
    FileClose $0
    Return
  ${EndIf}
  System::Call 'kernel32::GetTickCount() i .r1'
  ClearErrors
  Rename "$INSTDIR\drmaster.exe" "$INSTDIR\drmaster.exe.$1.old"
  ${If} ${Errors}
    ${Log} "drmaster.exe is in use and could not be renamed"
    Return
  ${EndIf}
  Delete /REBOOTOK "$INSTDIR\drmaster.exe.$1.old"
  ; No question of a restart at the end of a wizard for it.
  SetRebootFlag false
  ${Log} "drmaster.exe was in use: the running copy goes on as drmaster.exe.$1.old, removed once it has ended (at the next install or restart)"
FunctionEnd

; Appends "<year> <install directory>" for every 3ds Max release the registry
; knows of to the file open in $R9, probing the keys the node itself probes
; when it writes a default DrConfig.txt; $R8 counts them. Up to the newest
; release the node will take: /NEWESTMAX= of this run, else newestMaxRelease.
Function AppendRegistryReleases
  StrCpy $R8 0
  StrCpy $R7 $OptNewestMax
  ${IfThen} $R7 == "" ${|} ReadRegDWORD $R7 HKLM "${NODE_KEY}" "newestMaxRelease" ${|}
  ${IfThen} $R7 < 2016 ${|} StrCpy $R7 2016 ${|}
  ${IfThen} $R7 > 2030 ${|} StrCpy $R7 2030 ${|}
  ${For} $R0 2011 $R7
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

; The node again where it ran, or at once after a fresh install with the
; start at logon: through the logon task, so that it runs in the session and
; as the user of each logon. When the task cannot be run (Wine has no task
; service), the installer starts the keeper itself, unless it runs as a
; service, where a node would land in no one's session.
Function StartNode
  ${If} $Mode == "service"
    Call StartService
    Return
  ${EndIf}
  ${If} $Autostart != 1
  ${AndIf} $WasRunning != 1
    ${Log} "The node is not started (no start at logon, and none was running)"
    Return
  ${EndIf}
  Push '"$SYSDIR\schtasks.exe" /run /tn "${TASK}"'
  Call Run
  ${If} $0 == 0
    StrCpy $R0 30
    Call NodeStarted
    ${If} $0 == 1
      ${Log} "The ${PRODUCT} runs again"
    ${Else}
      ${Log} "The task runs, no node seen yet (nobody logged on, or an administrator without /USER=): it starts one at each logon"
    ${EndIf}
    Return
  ${EndIf}
  Call SessionId
  ${If} $0 == 0
    ${Failed} ${EXIT_STEP} "the task could not be run, and a service session is no place for the node"
    Return
  ${EndIf}
  ${Log} "The task could not be run: starting ${KEEPER_EXE} here"
  ; Without --skip-administrators: whoever runs the installer where no task
  ; can run (Wine) has asked for the node in this session.
  SetOutPath "$DataDir"
  Exec '"$INSTDIR\${KEEPER_EXE}"'
  ; A first start on a busy machine (or in a fresh Wine prefix) is slow.
  StrCpy $R0 60
  Call NodeStarted
  ${If} $0 == 1
    ${Log} "The ${PRODUCT} runs again"
  ${Else}
    ${Failed} ${EXIT_STEP} "the ${PRODUCT} did not start"
  ${EndIf}
FunctionEnd

; Waits up to $R0 seconds for a node; $0 = 1 when one runs.
Function NodeStarted
  StrCpy $R1 0
  ${Do}
    Call NodeRunning
    ${IfThen} $0 == 1 ${|} Return ${|}
    ${IfThen} $R1 >= $R0 ${|} Return ${|}
    Sleep 1000
    IntOp $R1 $R1 + 1
  ${Loop}
FunctionEnd

; The service: made or brought up to date in service mode (delayed
; automatic start: see the Windows guide), removed in desktop mode. Its
; account is changed only when /SERVICEACCOUNT= is given; a command with a
; password is logged without it.
Function SetUpMode
  Call ServiceInstalled
  ${If} $Mode != "service"
    ${If} $0 == 1
      Call RemoveService
      ${IfThen} $0 != 0 ${|} ${Failed} ${EXIT_STEP} "the service ${SERVICE} was not removed" ${|}
    ${EndIf}
    Return
  ${EndIf}
  StrCpy $R6 "create"
  ${If} $0 == 1
    ; An upgrade in place without /SERVICEACCOUNT= leaves the service as
    ; it finds it (an admin may have changed its start or recovery).
    ReadRegStr $R9 HKLM "SYSTEM\CurrentControlSet\Services\${SERVICE}" "ImagePath"
    ; Older versions made it LocalSystem's without being asked: that moves
    ; to the virtual account unless LocalSystem is named.
    ReadRegStr $R8 HKLM "SYSTEM\CurrentControlSet\Services\${SERVICE}" "ObjectName"
    ${If} $R9 == '"$INSTDIR\${NODE_EXE}" --service "$DataDir"'
    ${AndIf} $OptServiceAccount == ""
      ${If} $ServiceAccount != ""
      ${OrIf} $R8 != "LocalSystem"
        ${Log} "The service ${SERVICE} is kept as it is: $R9"
        Return
      ${EndIf}
      ${Log} "The service ${SERVICE} ran as LocalSystem, which no option named: it runs as ${VIRTUAL_ACCOUNT} from now on (/SERVICEACCOUNT=LocalSystem to keep it)"
      StrCpy $OptServiceAccount "*"
    ${EndIf}
    StrCpy $R6 "config"
  ${EndIf}
  StrCpy $R7 '"$SYSDIR\sc.exe" $R6 ${SERVICE} binPath= "\"$INSTDIR\${NODE_EXE}\" --service \"$DataDir\"" start= delayed-auto DisplayName= "${SERVICE_DISPLAY}"'
  StrCpy $R8 ""
  ${If} $R6 == "create"
  ${OrIf} $OptServiceAccount != ""
    ${If} $ServiceAccount == ""
      StrCpy $R8 ' obj= "${VIRTUAL_ACCOUNT}"'
    ${Else}
      StrCpy $R8 ' obj= "$ServiceAccount"'
    ${EndIf}
  ${EndIf}
  ${If} $OptServicePassword != ""
    StrCpy $LogAs '$R7$R8 password= (hidden)'
    Push '$R7$R8 password= "$OptServicePassword"'
  ${Else}
    Push '$R7$R8'
  ${EndIf}
  Call Run
  ${If} $0 != 0
    ${Failed} ${EXIT_STEP} "the service ${SERVICE} was not set up"
    Return
  ${EndIf}
  Push '"$SYSDIR\sc.exe" description ${SERVICE} "Renders 3ds Max jobs for the farm at boot, with nobody logged on (data in $DataDir\drData)"'
  Call Run
  ; A crash, or a stop with an error (a start that failed), is followed by
  ; a start again a minute later, three times a day at most: the manager
  ; repeats the last action for every later failure, so the fourth is none.
  ; A stop asked for is not.
  Push '"$SYSDIR\sc.exe" failure ${SERVICE} reset= 86400 actions= restart/60000/restart/60000/restart/60000//0'
  Call Run
  ${If} $0 != 0
    ${Failed} ${EXIT_STEP} "the recovery actions of the service ${SERVICE}"
  ${EndIf}
  ; Not a failed step: the service runs and is restarted after a crash
  ; without it (Wine's sc.exe lacks the command).
  Push '"$SYSDIR\sc.exe" failureflag ${SERVICE} 1'
  Call Run
  ${If} $0 != 0
    ${Log} "Note: a failed start of the service ${SERVICE} is not retried on this machine (sc.exe failureflag exited with $0)"
  ${EndIf}
FunctionEnd

; The data folder's permissions. drData is written by the node's account
; alone (and administrators): the service's account, or the one account of
; /USER=; every user reads it (the companion follows DrLog.txt). Nobody else
; can then write, replace or delete a received scene before 3ds Max opens
; it. Without /USER= every user who logs on runs the node, so every user may
; create and change its files, but not drData itself. Only administrators
; may change DrConfig.txt, which names the programs the node runs. The data
; folder itself no longer inherits ProgramData's "Users: create" (older
; versions also granted Users Modify on it; that goes first).
Function DataPermissions
  Push '"$SYSDIR\icacls.exe" "$DataDir" /remove:g ${SID_USERS} /T /C /Q'
  Call Run
  StrCpy $R5 $0
  Push '"$SYSDIR\icacls.exe" "$DataDir" /inheritance:r /grant:r ${SID_SYSTEM}:(OI)(CI)F ${SID_ADMINS}:(OI)(CI)F ${SID_USERS}:(OI)(CI)RX /Q'
  Call Run
  IntOp $R5 $R5 | $0
  ; The node's account as icacls names it ("" for every user).
  StrCpy $R4 ""
  ${If} $Mode == "service"
    StrCpy $R4 '"${VIRTUAL_ACCOUNT}"'
    ${If} $ServiceAccount == "LocalSystem"
      StrCpy $R4 ${SID_SYSTEM}
    ${ElseIf} $ServiceAccount != ""
      StrCpy $R4 $ServiceAccount
    ${EndIf}
  ${ElseIf} $User != "*"
  ${AndIf} $User != ""
    StrCpy $R4 $User
  ${EndIf}
  ; sc.exe's ".\render" is "render" to icacls.
  StrCpy $0 $R4 2
  ${IfThen} $0 == ".\" ${|} StrCpy $R4 $R4 "" 2 ${|}
  StrCpy $0 $R4 1
  ${If} $R4 != ""
  ${AndIf} $0 != "*"
  ${AndIf} $0 != '"'
    StrCpy $R4 '"$R4"'
  ${EndIf}
  ; Grants an earlier mode or account gave go (explicit ones included); the
  ; files of a user who could write before are administrators' from now on.
  Push '"$SYSDIR\icacls.exe" "$DataDir\drData" /reset /T /C /Q'
  Call Run
  IntOp $R5 $R5 | $0
  ${If} $R4 == ""
    Push '"$SYSDIR\icacls.exe" "$DataDir\drData" /grant ${SID_USERS}:(OI)(CI)(IO)M ${SID_USERS}:(RD,X,WD,AD,REA,RA,RC,S) /Q'
    Call Run
    IntOp $R5 $R5 | $0
  ${Else}
    Push '"$SYSDIR\icacls.exe" "$DataDir\drData" /setowner ${SID_ADMINS} /T /C /Q'
    Call Run
    IntOp $R5 $R5 | $0
    ; SYSTEM's and administrators' come from the data folder.
    Push '"$SYSDIR\icacls.exe" "$DataDir\drData" /grant $R4:(OI)(CI)M /Q'
    Call Run
    IntOp $R5 $R5 | $0
  ${EndIf}
  Push '"$SYSDIR\icacls.exe" "$DataDir\drData\DrConfig.txt" /inheritance:r /grant:r ${SID_SYSTEM}:F ${SID_ADMINS}:F ${SID_USERS}:RX /Q'
  Call Run
  IntOp $R5 $R5 | $0
  ${If} $R5 != 0
    ${Failed} ${EXIT_STEP} "the permissions of the data folder"
  ${EndIf}
FunctionEnd

; Starts the service and, in the session of whoever is logged on, the
; companion window (through the logon task).
Function StartService
  Push '"$SYSDIR\sc.exe" start ${SERVICE}'
  Call Run
  StrCpy $R1 0
  ${Do}
    Call ServiceState
    ${IfThen} $0 == 4 ${|} ${Break} ${|}
    ${IfThen} $R1 >= 60 ${|} ${Break} ${|}
    Sleep 1000
    IntOp $R1 $R1 + 1
  ${Loop}
  ${If} $0 == 4
    ${Log} "The service ${SERVICE} runs"
  ${Else}
    ${Failed} ${EXIT_STEP} "the service ${SERVICE} did not start (state $0; see drData\DrLog.txt and the System event log)"
  ${EndIf}
  ${If} $Autostart == 1
    Push '"$SYSDIR\schtasks.exe" /run /tn "${TASK}"'
    Call Run
  ${EndIf}
FunctionEnd

Section "${PRODUCT}" SecNode
  SectionIn RO
  Call OpenLog
  ${Log} "Options: start at logon $Autostart, masters $Masters, profiles $Profiles, stop wait $StopWait s"
  ${If} $StatusHttp != ""
    ${Log} "Status over HTTP (/metrics, /status) on $StatusHttp"
  ${EndIf}
  ${If} $Mode == "service"
    ${If} $ServiceAccount == ""
      ${Log} "Mode: service (${SERVICE}, at boot, as ${VIRTUAL_ACCOUNT}); the logon task starts the companion window"
    ${Else}
      ${Log} "Mode: service (${SERVICE}, at boot, as $ServiceAccount); the logon task starts the companion window"
    ${EndIf}
  ${Else}
    ${Log} "Mode: desktop (the log window, started by the logon task)"
  ${EndIf}
  ${If} $User == ""
    ${Log} "The logon task starts the node at the logon of every user but administrators (/USER= names none)"
  ${ElseIf} $User == "*"
    ${Log} "The logon task starts the node at the logon of every user, administrators too (/USER=*)"
  ${Else}
    ${Log} "The logon task starts the node at the logon of $User only"
  ${EndIf}
  ; The close task first, so that the stop step reaches a node in another
  ; session (also when upgrading a version that had no such task).
  CreateDirectory "$INSTDIR"
  StrCpy $R0 "$INSTDIR\${STOP_TASK_XML}"
  StrCpy $R1 "$SYSDIR\taskkill.exe"
  StrCpy $R2 "/im ${NODE_EXE}"
  StrCpy $R3 ""
  StrCpy $R4 "${STOP_TASK}"
  StrCpy $R5 ""
  Call RegisterTask
  Call StopNode

  ; The program folder is administrators' and SYSTEM's alone (users read and
  ; run): under a drive's root (/D=D:\...) it would inherit Authenticated
  ; Users: Modify, and the logon task runs the keeper from it for every user
  ; who logs on, administrators included.
  Push '"$SYSDIR\icacls.exe" "$INSTDIR" /inheritance:r /grant:r ${SID_SYSTEM}:(OI)(CI)F ${SID_ADMINS}:(OI)(CI)F ${SID_USERS}:(OI)(CI)RX /Q'
  Call Run
  ${If} $0 != 0
    ${Failed} ${EXIT_STEP} "the permissions of the program folder"
  ${EndIf}

  ; Moved by /D=: the old folder's programs go (the node has stopped).
  ${If} $OldDir != ""
  ${AndIf} $OldDir != $INSTDIR
  ${AndIf} ${FileExists} "$OldDir\${NODE_EXE}"
    ${Log} "Moving the install from $OldDir"
    !insertmacro RemoveProgramFiles "$OldDir"
    Delete "$OldDir\Uninstall.exe"
    RMDir "$OldDir"
  ${EndIf}

  SetOverwrite try
  SetOutPath "$INSTDIR"
  !insertmacro InstallFile "${NODE_EXE}" "${NODE_EXE}"
  !insertmacro InstallFile "${KEEPER_EXE}" "${KEEPER_EXE}"
  Call SetAsideRunningDrmaster
  !insertmacro InstallFile "drmaster.exe" "drmaster.exe"
  !insertmacro InstallFile "${GUIDE}" "${GUIDE}"
  !insertmacro InstallFile "DrConfig.txt" "DrConfig sample.txt"
  SetOutPath "$INSTDIR\${TEST_RENDERER}"
  !insertmacro InstallFile "${TEST_RENDERER}/3dsmaxcmd.exe" "3dsmaxcmd.exe"
  !insertmacro InstallFile "${TEST_RENDERER}/sample-scene.max" "sample-scene.max"
  !insertmacro InstallFile "${TEST_RENDERER}/README.txt" "README.txt"
  !insertmacro InstallFile "${TEST_RENDERER}/Try the node.cmd" "Try the node.cmd"
  SetOverwrite on

  ; The configuration where the node reads it: the prepared one of /CONFIG=,
  ; else, only when there is none yet, the sample with the 3ds Max releases
  ; found in the registry filled in.
  CreateDirectory "$DataDir\drData"
  ${If} $ConfigFile != ""
    ClearErrors
    CopyFiles /SILENT "$ConfigFile" "$DataDir\drData\DrConfig.txt"
    ${If} ${Errors}
      ${Failed} ${EXIT_STEP} "could not copy $ConfigFile to $DataDir\drData\DrConfig.txt"
    ${Else}
      ${Log} "drData\DrConfig.txt installed from $ConfigFile"
    ${EndIf}
  ${ElseIfNot} ${FileExists} "$DataDir\drData\DrConfig.txt"
    CopyFiles /SILENT "$INSTDIR\DrConfig sample.txt" "$DataDir\drData\DrConfig.txt"
    FileOpen $R9 "$DataDir\drData\DrConfig.txt" a
    FileSeek $R9 0 END
    FileWrite $R9 "$\r$\n# Found by the installer in the registry:$\r$\n"
    Call AppendRegistryReleases
    FileClose $R9
    ${Log} "drData\DrConfig.txt written with $R8 3ds Max release(s) from the registry"
  ${Else}
    ${Log} "drData\DrConfig.txt kept as it is"
  ${EndIf}

  ; Start menu. "Start in" of a shortcut is the output path at its creation.
  SetOutPath "$DataDir"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  ; Through the keeper, as the logon task: a node started from the menu is
  ; started again after a crash too.
  ${If} $Mode == "service"
    ; The node is the service: the menu opens its companion window.
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${NODE_EXE}" "--companion" "$INSTDIR\${NODE_EXE}" 0 \
      SW_SHOWNORMAL "" "The companion window of the ${PRODUCT} service (data in $DataDir\drData)"
  ${Else}
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${KEEPER_EXE}" "" "$INSTDIR\${NODE_EXE}" 0 \
      SW_SHOWNORMAL "" "Start the ${PRODUCT} (data in $DataDir\drData)"
  ${EndIf}
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Windows guide.lnk" "$INSTDIR\${GUIDE}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Data folder (drData).lnk" "$DataDir\drData"
  ${Log} "Start-menu shortcuts made"

  ; Start at logon: the task runs the keeper, which runs the node in the
  ; data folder and starts it again after a crash. Older versions had a
  ; Startup shortcut instead. The task is there also without the start at
  ; logon (its trigger off), so that the installer can start the node again.
  Delete "$SMSTARTUP\${PRODUCT}.lnk"
  StrCpy $R0 "$INSTDIR\${TASK_XML}"
  StrCpy $R1 "$INSTDIR\${KEEPER_EXE}"
  ; The node leaves an administrator's logon alone unless /USER= chose it.
  StrCpy $R2 ""
  ${IfThen} $User == "" ${|} StrCpy $R2 "--skip-administrators" ${|}
  ; In service mode the node runs at boot without any window: the task
  ; starts the companion window at each logon instead (the same task, so
  ; that a change of mode replaces it).
  ${If} $Mode == "service"
    StrCpy $R1 "$INSTDIR\${NODE_EXE}"
    StrCpy $R2 "--companion"
  ${EndIf}
  ${If} $Autostart == 1
    StrCpy $R3 "true"
  ${Else}
    StrCpy $R3 "false"
  ${EndIf}
  StrCpy $R4 "${TASK}"
  StrCpy $R5 $User
  ${IfThen} $User == "*" ${|} StrCpy $R5 "" ${|}
  Call RegisterTask

  Call SetUpMode
  Call DataPermissions

  ; Windows Firewall: the masters' discovery ping and connections, for the
  ; node program only.
  StrCpy $R0 "${RULE_UDP}"
  StrCpy $R1 UDP
  StrCpy $R2 19666
  Call FirewallRule
  StrCpy $R0 "${RULE_TCP}"
  StrCpy $R1 TCP
  StrCpy $R2 19668
  Call FirewallRule
  Call SetUpStatusHttp
  ; Not named, the value is left alone (an admin may have set it by hand).
  ${If} $OptStatus == "any"
    DeleteRegValue HKLM "${NODE_KEY}" "statusAnswer"
    DeleteRegValue HKLM "${OPTIONS_KEY}" "Status"
    ${Log} "statusAnswer removed from HKLM\${NODE_KEY}: every sender gets the status answer"
  ${ElseIf} $OptStatus != ""
    WriteRegStr HKLM "${NODE_KEY}" "statusAnswer" $OptStatus
    WriteRegStr HKLM "${OPTIONS_KEY}" "Status" $OptStatus
    ${Log} "statusAnswer=$OptStatus under HKLM\${NODE_KEY}: the status answer goes to those senders only"
  ${EndIf}
  Call SetUpNewestMax

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  ; A deployment tool reads the version here as installed: only when every
  ; program file is this version's.
  ${If} $FilesFailed == 1
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "incomplete (see ${INSTALL_LOG})"
    ${Log} "Not every file is version ${VERSION}: the uninstall entry says so"
  ${Else}
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  ${EndIf}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Varnix"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${NODE_EXE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DataFolder" "$DataDir"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  ; In place (_?=): without it the uninstaller returns at once and goes on
  ; from a copy, and a tool's next step would run beside it.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  ; Remembered for later upgrades that do not name them.
  WriteRegStr HKLM "${OPTIONS_KEY}" "Autostart" $Autostart
  WriteRegStr HKLM "${OPTIONS_KEY}" "Masters" $Masters
  WriteRegStr HKLM "${OPTIONS_KEY}" "Profiles" $Profiles
  ; /STOPWAIT= is for this run: given once for a hurried upgrade, it was
  ; every later upgrade's and uninstall's wait too.
  DeleteRegValue HKLM "${OPTIONS_KEY}" "StopWait"
  WriteRegStr HKLM "${OPTIONS_KEY}" "User" $User
  WriteRegStr HKLM "${OPTIONS_KEY}" "Mode" $Mode
  WriteRegStr HKLM "${OPTIONS_KEY}" "ServiceAccount" $ServiceAccount
  ; A crash dialog on a farm machine waits for a click nobody gives, and
  ; 3ds Max with it: /NOCRASHDIALOG lets a crashed renderer exit instead.
  ; What was there before is kept, for /CRASHDIALOG and the uninstall.
  ${If} $NoCrashDialog == 1
    ReadRegStr $0 HKLM "${OPTIONS_KEY}" "DontShowUIBefore"
    ${If} $0 == ""
      ClearErrors
      ReadRegDWORD $0 HKLM "${WER_KEY}" "DontShowUI"
      ${IfThen} ${Errors} ${|} StrCpy $0 "none" ${|}
      WriteRegStr HKLM "${OPTIONS_KEY}" "DontShowUIBefore" $0
    ${EndIf}
    WriteRegDWORD HKLM "${WER_KEY}" "DontShowUI" 1
    ${Log} "Windows Error Reporting shows no crash dialog on this machine (DontShowUI=1)"
  ${Else}
    Call RestoreCrashDialog
  ${EndIf}
  WriteRegStr HKLM "${OPTIONS_KEY}" "NoCrashDialog" $NoCrashDialog
  WriteRegStr HKLM "${OPTIONS_KEY}" "StatusHttp" $StatusHttp
  ${Log} "Uninstall entry and options written"

  Call StartNode
  !insertmacro Finish $ExitCode
SectionEnd

; On by default; /NOAUTOSTART leaves it out (see .onInit).
Section "Start the node at logon (all users)" SecAutostart
SectionEnd

Function .onSelChange
  ${If} ${SectionIsSelected} ${SecAutostart}
    StrCpy $Autostart 1
  ${Else}
    StrCpy $Autostart 0
  ${EndIf}
FunctionEnd

; Takes one argument of the command line, its quotes removed, in $R2.
Function TakeOption
  StrLen $R6 $R2
  StrCpy $R5 0
  ${Do}
    StrCpy $R7 $R2 1 $R5
    ${IfThen} $R7 == "" ${|} ${Break} ${|}
    ${IfThen} $R7 == "=" ${|} ${Break} ${|}
    IntOp $R5 $R5 + 1
  ${Loop}
  ${If} $R7 == "="
    IntOp $R5 $R5 + 1
    StrCpy $R7 $R2 $R5
    StrCpy $R8 $R2 "" $R5
    ${If} $R8 == ""
      ; An empty /STATUSHTTP= turns the status over HTTP off.
      ${If} $R7 == "/STATUSHTTP="
        StrCpy $OptStatusHttp "off"
        Return
      ${EndIf}
      ; An empty /USER= puts back the default (every user but administrators).
      ${If} $R7 == "/USER="
        StrCpy $OptUser "-"
        Return
      ${EndIf}
      ${If} $R7 == "/STATUS="
        StrCpy $OptStatus "any"
        Return
      ${EndIf}
      StrCpy $BadOptions "$BadOptions $R2 (no value)"
      Return
    ${EndIf}
  ${Else}
    StrCpy $R7 $R2
    StrCpy $R8 ""
  ${EndIf}
  ; The comparisons ignore case, as the options do.
  ${Select} $R7
    ${Case2} "/S" "/NCRC"
    ${Case} "/NOAUTOSTART"
      StrCpy $OptAutostart 0
    ${Case} "/AUTOSTART"
      StrCpy $OptAutostart 1
    ${Case} "/NOCRASHDIALOG"
      StrCpy $OptNoCrashDialog 1
    ${Case} "/CRASHDIALOG"
      StrCpy $OptNoCrashDialog 0
    ${Case} "/MASTERS="
      StrCpy $OptMasters $R8
    ${Case} "/PROFILES="
      StrCpy $OptProfiles $R8
    ${Case} "/STOPWAIT="
      IntOp $R9 $R8 + 0
      ${If} "$R9" != $R8
      ${OrIf} $R9 < 0
        StrCpy $BadOptions "$BadOptions $R2 (not a number of seconds)"
      ${Else}
        StrCpy $OptStopWait $R9
      ${EndIf}
    ${Case} "/CONFIG="
      StrCpy $OptConfig $R8
    ${Case} "/USER="
      StrCpy $OptUser $R8
    ${Case} "/LOG="
      StrCpy $OptLog $R8
    ${Case} "/MODE="
      ${If} $R8 == "desktop"
      ${OrIf} $R8 == "service"
        ; As written in the registry and the log, whatever the case given.
        ${IfThen} $R8 == "desktop" ${|} StrCpy $R8 "desktop" ${|}
        ${IfThen} $R8 == "service" ${|} StrCpy $R8 "service" ${|}
        StrCpy $OptMode $R8
      ${Else}
        StrCpy $BadOptions "$BadOptions $R2 (desktop or service)"
      ${EndIf}
    ${Case} "/SERVICEACCOUNT="
      StrCpy $OptServiceAccount $R8
    ${Case} "/SERVICEPASSWORD="
      StrCpy $OptServicePassword $R8
    ${Case} "/STATUSHTTP="
      StrCpy $0 $R8
      Call HttpPort
      ${If} $0 == ""
        StrCpy $BadOptions "$BadOptions $R2 (ADDRESS:PORT, such as 0.0.0.0:19670)"
      ${Else}
        StrCpy $OptStatusHttp $R8
      ${EndIf}
    ${Case} "/STATUS="
      StrCpy $OptStatus $R8
    ${Case} "/NEWESTMAX="
      IntOp $R9 $R8 + 0
      ${If} "$R9" != $R8
      ${OrIf} $R9 < 2011
      ${OrIf} $R9 > 2030
        StrCpy $BadOptions "$BadOptions $R2 (a 3ds Max release year, 2011 to 2030)"
      ${Else}
        StrCpy $OptNewestMax $R9
      ${EndIf}
    ${Case} "/D="
      ; Quoted, so the installer's own reading of /D= missed it.
      StrCpy $INSTDIR $R8
      StrCpy $DirGiven 1
    ${CaseElse}
      StrCpy $BadOptions "$BadOptions $R2"
  ${EndSelect}
FunctionEnd

; Reads every option of the command line, whether quoted whole
; ("/CONFIG=C:\a b.txt", what PowerShell and other tools that quote
; arguments pass), in its value (/CONFIG="C:\a b.txt") or not at all; an
; unquoted /D= takes the rest of the line, which the installer has read.
Function ReadCommandLine
  ; The process's own command line: the installer cuts an unquoted /D=
  ; off the one its $CMDLINE holds.
  System::Call 'kernel32::GetCommandLineW() w .R0'
  ; Past the program's name (quoted or not) and the spaces after it.
  StrCpy $R1 0
  StrCpy $R3 0
  ${Do}
    StrCpy $R5 $R0 1 $R1
    ${IfThen} $R5 == "" ${|} ${Break} ${|}
    ${If} $R5 == '"'
      IntOp $R3 1 - $R3
    ${ElseIf} $R5 == " "
    ${AndIf} $R3 == 0
      ${Break}
    ${EndIf}
    IntOp $R1 $R1 + 1
  ${Loop}
  StrCpy $R0 $R0 "" $R1
  StrCpy $R1 0   ; position
  StrCpy $R2 ""  ; the argument so far
  StrCpy $R3 0   ; 1 inside quotes
  StrCpy $R4 0   ; 1 when an argument has begun
  ${Do}
    StrCpy $R5 $R0 1 $R1
    IntOp $R1 $R1 + 1
    ${If} $R5 == ""
      ${IfThen} $R4 == 1 ${|} Call TakeOption ${|}
      ${Break}
    ${ElseIf} $R5 == '"'
      IntOp $R3 1 - $R3
      StrCpy $R4 1
    ${ElseIf} $R3 == 0
    ${AndIf} $R5 == " "
      ${IfThen} $R4 == 1 ${|} Call TakeOption ${|}
      StrCpy $R2 ""
      StrCpy $R4 0
    ${Else}
      StrCpy $R2 "$R2$R5"
      StrCpy $R4 1
      ${If} $R2 == "/D="
      ${AndIf} $R3 == 0
        StrCpy $DirGiven 1
        StrCpy $R8 $R0 "" $R1
        ${IfThen} $R8 != "" ${|} StrCpy $INSTDIR $R8 ${|}
        ${Break}
      ${EndIf}
    ${EndIf}
  ${Loop}
FunctionEnd

; Ends the run before anything changed, with a line in the install log.
!macro Refuse code text
  Call OpenLog
  ${Log} "FAILED: ${text}; nothing was changed"
  !insertmacro Finish ${code}
  MessageBox MB_ICONSTOP "${text}" /SD IDOK
  Quit
!macroend

; Checks the /CONFIG= file with the node's own reader (drmaster check-config)
; before anything changes: one bad line would cost that line and every one
; after it, an empty file every job.
Function CheckConfig
  GetFullPathName $0 $OptConfig
  ${IfThen} $0 != "" ${|} StrCpy $OptConfig $0 ${|}
  InitPluginsDir
  File "/oname=$PLUGINSDIR\drmaster.exe" "${STAGE}/drmaster.exe"
  ; As the node will read it: with the release years /NEWESTMAX= turns on.
  ${If} $OptNewestMax != ""
    nsExec::ExecToStack '"$PLUGINSDIR\drmaster.exe" check-config --newest-release $OptNewestMax "$OptConfig"'
  ${Else}
    nsExec::ExecToStack '"$PLUGINSDIR\drmaster.exe" check-config "$OptConfig"'
  ${EndIf}
  Pop $R0
  Pop $R1
  Delete "$PLUGINSDIR\drmaster.exe"
  ${If} $R0 != 0
    Call OpenLog
    !insertmacro LogWrite "$R1"
    !insertmacro Refuse ${EXIT_OPTION} "/CONFIG=$OptConfig is not a DrConfig.txt a node takes whole (exit $R0)"
  ${EndIf}
FunctionEnd

Function .onInit
  SetRegView 64
  !insertmacro SetDataDir
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "The ${PRODUCT} needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  StrCpy $ExitCode 0
  Call SilentWhereNobodySees
  Call ReadCommandLine
  StrCpy $LogPath $OptLog
  ${If} $LogPath == ""
    StrCpy $LogPath "$DataDir\${INSTALL_LOG}"
  ${Else}
    GetFullPathName $0 $LogPath
    ${IfThen} $0 != "" ${|} StrCpy $LogPath $0 ${|}
  ${EndIf}
  ${If} $BadOptions != ""
    !insertmacro Refuse ${EXIT_OPTION} "unknown or bad option(s):$BadOptions"
  ${EndIf}
  ; /STOPWAIT= is for this run only.
  StrCpy $StopWait "${DEFAULT_STOPWAIT}"
  ${IfThen} $OptStopWait != "" ${|} StrCpy $StopWait $OptStopWait ${|}
  IntOp $StopWait $StopWait + 0
  ${If} $OptConfig != ""
    Call CheckConfig
  ${EndIf}

  ; Not alongside an uninstall (a deployment tool's "uninstall, then
  ; install") or another install: the node's stop, its files, the uninstall
  ; entry and the remembered options (read below) would be changed by both.
  Call OpenLog
  ${IfThen} $NoDesktop == 1 ${|} ${Log} "Nobody can see a wizard here (session 0 or a hidden window station): the run is silent" ${|}
  IntOp $R0 $StopWait + 180
  Call WaitForOtherRuns
  ${If} $0 != 1
    !insertmacro Refuse ${EXIT_BUSY} "another install or uninstall of the ${PRODUCT} still runs after $R0 s"
  ${EndIf}
  Call RemoveUninstallerCopies

  ; An upgrade goes where the installed version is, unless /D= (even one
  ; naming the default folder, to move an install back) says otherwise.
  ReadRegStr $OldDir HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $OldDir != ""
  ${AndIf} $DirGiven != 1
    StrCpy $INSTDIR $OldDir
  ${EndIf}
  ; Options: remembered from the last install, then this command line's.
  ReadRegStr $Masters HKLM "${OPTIONS_KEY}" "Masters"
  ${IfThen} $Masters == "" ${|} StrCpy $Masters "${DEFAULT_MASTERS}" ${|}
  ReadRegStr $Profiles HKLM "${OPTIONS_KEY}" "Profiles"
  ${IfThen} $Profiles == "" ${|} StrCpy $Profiles "${DEFAULT_PROFILES}" ${|}
  StrCpy $ScopeGiven 0
  ${If} $OptMasters != ""
    StrCpy $Masters $OptMasters
    StrCpy $ScopeGiven 1
  ${EndIf}
  ${If} $OptProfiles != ""
    StrCpy $Profiles $OptProfiles
    StrCpy $ScopeGiven 1
  ${EndIf}
  ReadRegStr $Autostart HKLM "${OPTIONS_KEY}" "Autostart"
  ${If} $Autostart == ""
    StrCpy $Autostart 1
    ; A version that remembered nothing: its /NOAUTOSTART left no Startup shortcut.
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 != ""
    ${AndIfNot} ${FileExists} "$SMSTARTUP\${PRODUCT}.lnk"
      StrCpy $Autostart 0
    ${EndIf}
  ${EndIf}
  ${IfThen} $OptAutostart != "" ${|} StrCpy $Autostart $OptAutostart ${|}
  ReadRegStr $NoCrashDialog HKLM "${OPTIONS_KEY}" "NoCrashDialog"
  ${IfThen} $OptNoCrashDialog != "" ${|} StrCpy $NoCrashDialog $OptNoCrashDialog ${|}
  ${IfThen} $NoCrashDialog != 1 ${|} StrCpy $NoCrashDialog 0 ${|}
  ; "*" (every user, administrators too) undoes a /USER= remembered. An
  ; older version remembered "" for both "*" and no /USER=: an upgrade of
  ; it without /USER= leaves administrators' logons alone from now on.
  ReadRegStr $User HKLM "${OPTIONS_KEY}" "User"
  ${IfThen} $OptUser != "" ${|} StrCpy $User $OptUser ${|}
  ${IfThen} $OptUser == "-" ${|} StrCpy $User "" ${|}
  ; Never a drive's root: its permissions would become the program folder's.
  StrLen $0 $INSTDIR
  ${If} $0 <= 3
    !insertmacro Refuse ${EXIT_OPTION} "/D=$INSTDIR is a drive's root; name a folder"
  ${EndIf}
  ${If} $Autostart == 0
    SectionSetFlags ${SecAutostart} 0
  ${EndIf}
  ; The mode: an upgrade keeps the one installed (a version before the
  ; modes was a desktop install).
  Call ServiceInstalled
  ReadRegStr $OldMode HKLM "${OPTIONS_KEY}" "Mode"
  ${If} $OldMode == ""
    ${If} $0 == 1
      StrCpy $OldMode "service"
    ${ElseIf} $OldDir != ""
      StrCpy $OldMode "desktop"
    ${EndIf}
  ${EndIf}
  StrCpy $Mode $OldMode
  ${IfThen} $Mode == "" ${|} StrCpy $Mode "desktop" ${|}
  ${IfThen} $OptMode != "" ${|} StrCpy $Mode $OptMode ${|}
  ReadRegStr $ServiceAccount HKLM "${OPTIONS_KEY}" "ServiceAccount"
  ${IfThen} $OptServiceAccount != "" ${|} StrCpy $ServiceAccount $OptServiceAccount ${|}
  ${IfThen} $ServiceAccount == "*" ${|} StrCpy $ServiceAccount "" ${|}

  ReadRegStr $StatusHttp HKLM "${OPTIONS_KEY}" "StatusHttp"
  ${If} $OptStatusHttp == "off"
    StrCpy $StatusHttp ""
  ${ElseIf} $OptStatusHttp != ""
    StrCpy $StatusHttp $OptStatusHttp
  ${EndIf}

  StrCpy $ConfigFile $OptConfig

FunctionEnd

Function un.onInit
  SetRegView 64
  !insertmacro SetDataDir
  Call un.SilentWhereNobodySees
  ; The cleanup after an uninstall run in place (see the end of the
  ; uninstall): once that run has let go of the mutex, its file and the
  ; empty program folder go.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/CLEANUP" $1
  ${IfNot} ${Errors}
    System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${MUTEX}") p .r2'
    System::Call 'kernel32::WaitForSingleObject(p r2, i 600000) i .r3'
    ${For} $4 1 60
      Delete "$INSTDIR\Uninstall.exe"
      ${IfNotThen} ${FileExists} "$INSTDIR\Uninstall.exe" ${|} ${Break} ${|}
      Sleep 500
    ${Next}
    RMDir "$INSTDIR"
    Call un.RemoveUninstallerCopies
    ; This copy's own folder, once it has ended: a command interpreter
    ; without a window waits a few seconds and removes it.
    ExpandEnvStrings $0 "%COMSPEC%"
    System::Call '*(i 104, &i100) p .r1'
    System::Call '*(p, p, i, i) p .r2'
    StrCpy $6 '"$0" /d /c ping -n 6 127.0.0.1 >nul & rd /s /q "$EXEDIR"'
    StrCpy $7 $TEMP
    ; CREATE_NO_WINDOW
    System::Call 'kernel32::CreateProcessW(w r0, w r6, p 0, p 0, i 0, i 0x08000000, p 0, w r7, p r1, p r2) i .r3'
    ${If} $3 != 0
      System::Call '*$2(p .r4, p .r5)'
      System::Call 'kernel32::CloseHandle(p r4)'
      System::Call 'kernel32::CloseHandle(p r5)'
    ${EndIf}
    System::Free $1
    System::Free $2
    SetErrorLevel 0
    Quit
  ${EndIf}
  StrCpy $StopWait ${DEFAULT_STOPWAIT}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/STOPWAIT=" $1
  ${IfNot} ${Errors}
    IntOp $StopWait $1 + 0
  ${EndIf}
  StrCpy $LogPath "$DataDir\${INSTALL_LOG}"
  StrCpy $ExitCode 0
  Call un.OpenLog
  IntOp $R0 $StopWait + 180
  Call un.WaitForOtherRuns
  ${If} $0 != 1
    ${Log} "FAILED: another install or uninstall of the ${PRODUCT} still runs after $R0 s; nothing was changed"
    !insertmacro Finish ${EXIT_BUSY}
    Quit
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.OpenLog
  ${Log} "Uninstalling"
  Call un.StopNode

  Call un.ServiceInstalled
  ${If} $0 == 1
    Call un.RemoveService
    ${IfThen} $0 != 0 ${|} ${Failed} ${EXIT_STEP} "the service ${SERVICE} was not removed" ${|}
  ${EndIf}
  Push '"$SYSDIR\schtasks.exe" /delete /tn "${TASK}" /f'
  Call un.Run
  Push '"$SYSDIR\schtasks.exe" /delete /tn "${STOP_TASK}" /f'
  Call un.Run
  Push '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_UDP}"'
  Call un.Run
  Push '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_TCP}"'
  Call un.Run
  ; /STATUSHTTP='s value and rule, when the installer made them.
  ReadRegStr $0 HKLM "${OPTIONS_KEY}" "StatusHttp"
  ${If} $0 != ""
    DeleteRegValue HKLM "${NODE_KEY}" "statusHttpAddress"
    Push '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_HTTP}"'
    Call un.Run
  ${EndIf}
  ; /STATUS='s value, when the installer wrote it.
  ReadRegStr $0 HKLM "${OPTIONS_KEY}" "Status"
  ${IfThen} $0 != "" ${|} DeleteRegValue HKLM "${NODE_KEY}" "statusAnswer" ${|}

  Delete "$SMSTARTUP\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Windows guide.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Data folder (drData).lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  !insertmacro RemoveProgramFiles "$INSTDIR"
  ; Run in place (_?=, so that the caller waits for the end), this program
  ; cannot delete itself, but a running program may be moved: out of the
  ; program folder, deleted at the next restart.
  SetOutPath "$TEMP"
  GetFullPathName /SHORT $3 $EXEDIR
  GetFullPathName /SHORT $4 $INSTDIR
  ${If} $3 == $4
    ; Run in place (_?=, so that the caller waits for its end), this program
    ; cannot remove its own file. Started without _?=, it goes on from a
    ; copy in %TEMP%\~nsu*.tmp, which removes it and the folder once this
    ; run has ended (it waits for the mutex), and which a setup started
    ; meanwhile waits for.
    Exec '"$EXEPATH" /S /CLEANUP'
    ${Log} "Uninstall.exe and the program folder are removed as soon as this run has ended"
  ${Else}
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
    ${If} ${FileExists} "$INSTDIR\*.*"
      ${Failed} ${EXIT_STEP} "the program folder $INSTDIR is still there"
    ${EndIf}
  ${EndIf}

  Call un.RestoreCrashDialog
  ; The data folder stays: DrConfig.txt and the log outlive the program. The
  ; last job's scene and images go: every user may read drData, and the
  ; farm's work is not theirs to find after the node has gone.
  Delete "$DataDir\drData\received_scene.max"
  Delete "$DataDir\drData\dump*.exr"
  Delete "$DataDir\drData\dr_out.png"
  ${Log} "The last job's scene and images are removed from drData"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${OPTIONS_KEY}"
  ${Log} "Uninstalled; the data folder $DataDir stays"
  !insertmacro Finish $ExitCode
SectionEnd
