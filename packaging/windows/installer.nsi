; The Windows installer of the Velantor KDR7 Loader Editor: the zip's folder under Program Files, a
; Start-menu entry for the window, a launcher of zorvane-cli on the machine's PATH, and an uninstaller.
; makensis -DVERSION=... -DSTAGE=<the zip's folder> -DFILES=<files.nsh> -DLAUNCHER=<bin\zorvane-cli.exe>
;          -DPATH_HELPER=<kdr7-path.exe> -DOUTFILE=<setup.exe> installer.nsi
; FILES, written by tools/windows.sh from the zip's folder, names every installed file twice: the macro
; INSTALL_FILES puts them in place, UNINSTALL_FILES deletes exactly those and then their folders if empty.
Unicode true
; A 64-bit stub: the programs are 64-bit, and a 32-bit stub cannot run where only 64-bit Windows code runs.
Target amd64-unicode
!include "LogicLib.nsh"

!define APP "KDR7 Loader Editor"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kdr7-loader-editor"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP}"
; An upgrade goes into the folder of the version it replaces (its uninstaller's folder).
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "UninstallString"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "Velantor KDR7 Loader Editor"
VIAddVersionKey /LANG=1033 "FileDescription" "Velantor KDR7 Loader Editor ${VERSION} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "CompanyName" "The KDR7 Loader Editor developers"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 The KDR7 Loader Editor developers, MIT License"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!include "${FILES}"

; The PATH is changed only by kdr7-path.exe (see packaging/windows/path-helper.cpp): NSIS holds strings in
; 1024 characters and would read a longer PATH as empty, then write our folder over the machine's PATH.
; $0: the helper's arguments. Whatever it answers, the installation goes on.
!macro EDIT_PATH ARGUMENTS
    InitPluginsDir
    File "/oname=$PLUGINSDIR\kdr7-path.exe" "${PATH_HELPER}"
    ExecWait '"$PLUGINSDIR\kdr7-path.exe" ${ARGUMENTS}' $1
    ${If} $1 == 3
        DetailPrint "The PATH is too long to take one more folder: it was left as it was."
    ${ElseIf} $1 != 0
        DetailPrint "The PATH could not be changed ($1): it was left as it was."
    ${EndIf}
!macroend

Var previous

Section "Install"
    SetShellVarContext all
    ; Where an earlier version is installed (its uninstaller), read before anything is written.
    ReadRegStr $previous HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $previous == ""
        ReadRegStr $previous HKLM "${UNINSTALL_KEY}" "UninstallString"
        ${If} $previous != ""
            ; '"C:\...\uninstall.exe"' -> 'C:\...'
            StrCpy $previous $previous "" 1
            StrCpy $previous $previous -15
        ${EndIf}
    ${EndIf}
    !insertmacro INSTALL_FILES
    SetOutPath "$INSTDIR\bin"
    File "${LAUNCHER}"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateDirectory "$SMPROGRAMS\${APP}"
    CreateShortCut "$SMPROGRAMS\${APP}\${APP}.lnk" "$INSTDIR\zorvane.exe" "" "$INSTDIR\zorvane.ico"
    CreateShortCut "$SMPROGRAMS\${APP}\Uninstall.lnk" "$INSTDIR\uninstall.exe"
    ; One key, so one entry in "Apps and features", however often this is installed.
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The KDR7 Loader Editor developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zorvane.ico"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ; zorvane-cli from any command prompt: the launcher's folder joins the machine's PATH once. Over an
    ; earlier install, its entries go first: the launcher folder of an install elsewhere, and the folder
    ; itself, with the DLLs, that versions before this one put on the PATH.
    ${If} $previous != ""
        !insertmacro EDIT_PATH 'remove "$previous" remove "$previous\bin" add "$INSTDIR\bin"'
    ${Else}
        !insertmacro EDIT_PATH 'add "$INSTDIR\bin"'
    ${EndIf}
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    !insertmacro EDIT_PATH 'remove "$INSTDIR\bin"'
    Delete "$SMPROGRAMS\${APP}\${APP}.lnk"
    Delete "$SMPROGRAMS\${APP}\Uninstall.lnk"
    RMDir "$SMPROGRAMS\${APP}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    ; Only what was installed, by name; a folder goes only when nothing else is left in it (a user's own
    ; files in the install folder stay, and so does the folder).
    !insertmacro UNINSTALL_FILES
    Delete "$INSTDIR\bin\zorvane-cli.exe"
    RMDir "$INSTDIR\bin"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
