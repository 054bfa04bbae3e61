; The Windows installer of the Velantor KDR7 Loader Editor: the zip's folder under Program Files, a
; Start-menu entry for the window, zorvane-cli on the machine's PATH, and an uninstaller.
; makensis -DVERSION=... -DSTAGE=<the zip's folder> -DOUTFILE=<setup.exe> installer.nsi
Unicode true
; A 64-bit stub: the programs are 64-bit, and a 32-bit stub cannot run where only 64-bit Windows code runs.
Target amd64-unicode
!include "WordFunc.nsh"
!include "WinMessages.nsh"

!define APP "KDR7 Loader Editor"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kdr7-loader-editor"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File /r "${STAGE}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateDirectory "$SMPROGRAMS\${APP}"
    CreateShortCut "$SMPROGRAMS\${APP}\${APP}.lnk" "$INSTDIR\zorvane.exe" "" "$INSTDIR\zorvane.ico"
    CreateShortCut "$SMPROGRAMS\${APP}\Uninstall.lnk" "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zorvane.ico"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    ; zorvane-cli from any command prompt: the folder joins the machine's PATH, unless it is there already
    ; or the PATH is too long for this installer to rewrite safely.
    ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
    StrLen $1 "$0"
    ${WordFind} "$0" "$INSTDIR" "E#" $2
    IfErrors 0 path_done
    IntCmp $1 900 0 0 path_too_long
    StrCmp $0 "" 0 +3
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$INSTDIR"
    Goto path_changed
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0;$INSTDIR"
path_changed:
    SendMessage ${HWND_BROADCAST} ${WM_WININICHANGE} 0 "STR:Environment" /TIMEOUT=500
    Goto path_done
path_too_long:
    DetailPrint "The PATH is too long to extend: run zorvane-cli from $INSTDIR"
path_done:
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
    ${WordReplace} "$0" ";$INSTDIR" "" "+" $1
    ${WordReplace} "$1" "$INSTDIR" "" "+" $1
    StrCmp $0 $1 +3
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$1"
    SendMessage ${HWND_BROADCAST} ${WM_WININICHANGE} 0 "STR:Environment" /TIMEOUT=500
    Delete "$SMPROGRAMS\${APP}\${APP}.lnk"
    Delete "$SMPROGRAMS\${APP}\Uninstall.lnk"
    RMDir "$SMPROGRAMS\${APP}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    RMDir /r "$INSTDIR"
SectionEnd
