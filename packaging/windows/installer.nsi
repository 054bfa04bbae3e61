; The Windows installer of the Velantor KDR7 Loader Editor: the zip's folder under Program Files, a
; Start-menu entry for the window, a launcher of zorvane-cli on the machine's PATH, and an uninstaller.
; makensis -DVERSION=... -DSTAGE=<the zip's folder> -DFILES=<files.nsh> -DLAUNCHER=<bin\zorvane-cli.exe>
;          -DPATH_HELPER=<kdr7-path.exe> -DFILE_LIST=<installed-files.txt> -DOUTFILE=<setup.exe> installer.nsi
; FILES, written by tools/windows.sh from the zip's folder, names every installed file twice: the macro
; INSTALL_FILES puts them in place, UNINSTALL_FILES deletes exactly those and then their folders if empty.
; FILE_LIST names them once more, for the installer of a later version, which deletes them before it copies
; its own (a file this version has and that one has not would otherwise stay behind and be loaded).
;
; Exit status of setup.exe: 0 installed, 1 cancelled, 2 stopped by an error, 4 refused because a program of
; the installed version runs (nothing changed), 5 refused to install an older version over a newer one
; (nothing changed; /DOWNGRADE installs it all the same).
Unicode true
; A 64-bit stub: the programs are 64-bit, and a 32-bit stub cannot run where only 64-bit Windows code runs.
Target amd64-unicode
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "TextFunc.nsh"
!include "WordFunc.nsh"

!define APP "KDR7 Loader Editor"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kdr7-loader-editor"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP}"
; An upgrade goes into the folder of the version it replaces (its uninstaller's folder).
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "UninstallString"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
; A file that cannot be written ends the installation: in a silent one NSIS would otherwise skip it and
; report success over a mixed install. The refusals below come first, with their own exit status.
AllowSkipFiles off

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

; Refuses (exit status 4, a message box unless silent) while a program runs from the folder on the stack:
; its files cannot be replaced, and an install that went on would be half old, half new.
Function RefuseWhileRunning
    Exch $R0
    ${If} $R0 != ""
        InitPluginsDir
        File "/oname=$PLUGINSDIR\kdr7-path.exe" "${PATH_HELPER}"
        ExecWait '"$PLUGINSDIR\kdr7-path.exe" running "$R0"' $R1
        ${If} $R1 == 5
            MessageBox MB_OK|MB_ICONSTOP "A program of the ${APP} runs from $R0 (the window, or zorvane-cli in a command prompt or a script). Close it, then run the setup again." /SD IDOK
            SetErrorLevel 4
            Quit
        ${EndIf}
    ${EndIf}
    Pop $R0
FunctionEnd

Function .onInit
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
    ; A newer version stays unless /DOWNGRADE asks for this one.
    ReadRegStr $R0 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
    ${If} $R0 != ""
        ${VersionCompare} "$R0" "${VERSION}" $R1
        ${GetParameters} $R2
        ClearErrors
        ${GetOptions} $R2 "/DOWNGRADE" $R3
        ${If} $R1 == 1
        ${AndIf} ${Errors}
            MessageBox MB_OK|MB_ICONSTOP "The ${APP} $R0 is installed, newer than ${VERSION}. To install ${VERSION} all the same, run the setup with /DOWNGRADE." /SD IDOK
            SetErrorLevel 5
            Quit
        ${EndIf}
    ${EndIf}
    Push $previous
    Call RefuseWhileRunning
FunctionEnd

; Deletes the files that the installed version lists (installed-files.txt: "F path" for a file, "D path"
; for a folder, deepest first, removed only when empty), then the list. A version without a list is
; overwritten file by file.
Function RemovePrevious
    ${If} $previous == ""
    ${OrIfNot} ${FileExists} "$previous\installed-files.txt"
        Return
    ${EndIf}
    ClearErrors
    FileOpen $R0 "$previous\installed-files.txt" r
    IfErrors done
    loop:
        ClearErrors
        FileRead $R0 $R1
        IfErrors close
        ${TrimNewLines} $R1 $R1
        StrCpy $R2 $R1 2
        StrCpy $R3 $R1 "" 2
        ; Never a path that leaves the folder.
        ${WordFind} "$R3" ".." "E+1{" $R4
        IfErrors 0 loop
        ${If} $R3 == ""
            Goto loop
        ${ElseIf} $R2 == "F "
            Delete "$previous\$R3"
        ${ElseIf} $R2 == "D "
            RMDir "$previous\$R3"
        ${EndIf}
        Goto loop
    close:
        FileClose $R0
    done:
    Delete "$previous\installed-files.txt"
FunctionEnd

Section "Install"
    SetShellVarContext all
    ; Again, now that the folder is chosen: a program may have been started meanwhile.
    Push $previous
    Call RefuseWhileRunning
    Push $INSTDIR
    Call RefuseWhileRunning
    Call RemovePrevious
    !insertmacro INSTALL_FILES
    SetOutPath "$INSTDIR\bin"
    File "${LAUNCHER}"
    SetOutPath "$INSTDIR"
    File "${FILE_LIST}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateDirectory "$SMPROGRAMS\${APP}"
    ; The window starts in the user's own Documents (each user's, the shortcut being everyone's), where its
    ; file dialogs then open: a standard user cannot save in the program's folder. The shortcut keeps the
    ; variable and Windows expands it at each start.
    StrCpy $OUTDIR "%USERPROFILE%\Documents"
    CreateShortCut "$SMPROGRAMS\${APP}\${APP}.lnk" "$INSTDIR\zorvane.exe" "" "$INSTDIR\zorvane.ico"
    CreateShortCut "$SMPROGRAMS\${APP}\Uninstall.lnk" "$INSTDIR\uninstall.exe"
    SetOutPath "$INSTDIR"
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
    Delete "$INSTDIR\installed-files.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
