; The Windows setup program around the portable folder of scripts/build-windows.
; scripts/build-windows-installer runs makensis with VERSION, DIST (the portable folder),
; OUTFILE, COPYING (the folder's licence, for its page) and FILES / UNFILES (the folder's files, listed
; one by one so the uninstaller removes exactly what was installed).
;   setup.exe [/S] [/AllUsers | /CurrentUser] [/AddToPath] [/D=FOLDER]
; Per machine goes to Program Files, per user to the user's programs folder
; (%LOCALAPPDATA%\Programs). /AddToPath puts kv7702r.exe on that user's or the machine's PATH.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define APPNAME "KV7702R水分传感器工具"
!define PUBLISHER "VQRN"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KV7702R"
; The programs take a copy with this uninstaller beside them for an installed one, and keep
; comm.set in the user's folder (serial/settingsfile.cpp).
!define UNINSTALLER "uninstall.exe"

Name "${APPNAME}"
OutFile "${OUTFILE}"
BrandingText "${APPNAME} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "KV7702R"
!include MultiUser.nsh
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WinMessages.nsh
!include StrFunc.nsh
${Using:StrFunc} UnStrRep

!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${COPYING}"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\kv7702r-tool.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

; The user's or the machine's PATH, as Windows keeps it.
!macro PathKey
  ${If} $MultiUser.InstallMode == AllUsers
    StrCpy $R8 HKLM
    StrCpy $R9 "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
  ${Else}
    StrCpy $R8 HKCU
    StrCpy $R9 "Environment"
  ${EndIf}
!macroend
!macro ReadPath OUT
  ${If} $R8 == HKLM
    ReadRegStr ${OUT} HKLM $R9 Path
  ${Else}
    ReadRegStr ${OUT} HKCU $R9 Path
  ${EndIf}
!macroend
!macro WritePath VALUE
  ${If} $R8 == HKLM
    WriteRegExpandStr HKLM $R9 Path "${VALUE}"
  ${Else}
    ${If} "${VALUE}" == ""
      DeleteRegValue HKCU $R9 Path
    ${Else}
      WriteRegExpandStr HKCU $R9 Path "${VALUE}"
    ${EndIf}
  ${EndIf}
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
!macroend

Section "!${APPNAME}" SecMain
  SectionIn RO
  !include "${FILES}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  CreateDirectory "$SMPROGRAMS\${APPNAME}"
  CreateShortcut "$SMPROGRAMS\${APPNAME}\${APPNAME}.lnk" "$INSTDIR\kv7702r-tool.exe"
  CreateShortcut "$SMPROGRAMS\${APPNAME}\${APPNAME}（通讯监视器）.lnk" "$INSTDIR\kv7702r-tool.exe" "--monitor"
  CreateShortcut "$SMPROGRAMS\${APPNAME}\KV7702R tool (English).lnk" "$INSTDIR\kv7702r-tool.exe" "--lang en"

  ; Apps & features; the uninstaller is told which installation it removes.
  ${If} $MultiUser.InstallMode == AllUsers
    StrCpy $0 "/AllUsers"
  ${Else}
    StrCpy $0 "/CurrentUser"
  ${EndIf}
  WriteRegStr SHCTX "${UNINSTKEY}" DisplayName "${APPNAME}"
  WriteRegStr SHCTX "${UNINSTKEY}" DisplayVersion "${VERSION}"
  WriteRegStr SHCTX "${UNINSTKEY}" Publisher "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTKEY}" DisplayIcon "$INSTDIR\kv7702r-tool.exe"
  WriteRegStr SHCTX "${UNINSTKEY}" InstallLocation "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTKEY}" UninstallString '"$INSTDIR\${UNINSTALLER}" $0'
  WriteRegStr SHCTX "${UNINSTKEY}" QuietUninstallString '"$INSTDIR\${UNINSTALLER}" /S $0'
  WriteRegDWORD SHCTX "${UNINSTKEY}" NoModify 1
  WriteRegDWORD SHCTX "${UNINSTKEY}" NoRepair 1
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  WriteRegDWORD SHCTX "${UNINSTKEY}" EstimatedSize $1
SectionEnd

Section /o "将 kv7702r.exe 加入 PATH" SecPath
  !insertmacro PathKey
  !insertmacro ReadPath $0
  StrLen $1 "$0;$INSTDIR"
  ; A value as long as NSIS's strings was cut when read: writing it back would lose the rest.
  ${If} $1 >= ${NSIS_MAX_STRLEN}
    DetailPrint "PATH 过长，未修改；请手动加入 $INSTDIR"
    MessageBox MB_ICONEXCLAMATION|MB_OK "PATH 过长，未修改；请手动加入 $INSTDIR" /SD IDOK
  ${Else}
    ${StrStr} $2 ";$0;" ";$INSTDIR;"
    ${If} $2 == ""
      ${If} $0 == ""
        !insertmacro WritePath "$INSTDIR"
      ${Else}
        !insertmacro WritePath "$0;$INSTDIR"
      ${EndIf}
    ${EndIf}
  ${EndIf}
SectionEnd

Function .onInit
  !insertmacro MULTIUSER_INIT
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AddToPath" $1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecPath} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; The PATH entry goes whichever way it came (an absent one changes nothing).
  !insertmacro PathKey
  !insertmacro ReadPath $0
  StrLen $1 $0
  IntOp $3 ${NSIS_MAX_STRLEN} - 1
  ${If} $1 < $3
    ${UnStrRep} $2 ";$0;" ";$INSTDIR;" ";"
    ${If} $2 != ";$0;"
      StrCpy $2 $2 "" 1 ; the semicolons put around it
      StrCpy $2 $2 -1
      !insertmacro WritePath "$2"
    ${EndIf}
  ${EndIf}

  Delete "$SMPROGRAMS\${APPNAME}\${APPNAME}.lnk"
  Delete "$SMPROGRAMS\${APPNAME}\${APPNAME}（通讯监视器）.lnk"
  Delete "$SMPROGRAMS\${APPNAME}\KV7702R tool (English).lnk"
  RMDir "$SMPROGRAMS\${APPNAME}"
  !include "${UNFILES}"
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Only when empty: files the user put there stay.
  RMDir "$INSTDIR"
  DeleteRegKey SHCTX "${UNINSTKEY}"
SectionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd
