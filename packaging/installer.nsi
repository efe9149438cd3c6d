; SPDX-License-Identifier: LGPL-2.1-or-later
; The plugin's installer: finds the player, puts the DLL into its Plugins folder and
; the translations into its Lang folder, and registers an uninstaller.
; packaging/CMakeLists.txt builds it with
;   makensis -DVERSION=x.y.z -DPLUGIN_DLL=path/gen_id3vimbrel.dll -DLANG_DIR=path/Lang
;            -DLANGUAGES_NSH=path/languages.nsh -DOUTFILE=path installer.nsi
; LANG_DIR holds <language id>/gen_id3vimbrel.lng for each language LANGUAGES_NSH names.

Unicode true
ManifestDPIAware true
; The player usually sits under Program Files.
RequestExecutionLevel admin
SetCompressor /SOLID lzma
; No file times inside: the same DLL gives the same installer.
SetDateSave off

!include MUI2.nsh
!include LogicLib.nsh
!include "${LANGUAGES_NSH}"

!define PRODUCT "ID3 Vimbrel"
!define PLUGIN_NAME "gen_id3vimbrel.dll"
; The player's language packs take a plugin's translation from Lang\<language id>\.
!define TRANSLATION_NAME "gen_id3vimbrel.lng"
!define UNINSTALLER "gen_id3vimbrel-uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\gen_id3vimbrel"
!define PLAYER_EXE "winamp.exe"
!define PLAYER_WINDOW_CLASS "Winamp v1.x"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 ProductName "${PRODUCT}"
VIAddVersionKey /LANG=1033 ProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileDescription "${PRODUCT} setup - star ratings in the tray for Winamp"
VIAddVersionKey /LANG=1033 CompanyName "ID3 Vimbrel developers"
VIAddVersionKey /LANG=1033 LegalCopyright "ID3 Vimbrel developers, LGPL-2.1-or-later"

!define MUI_PAGE_HEADER_TEXT "Winamp's folder"
!define MUI_PAGE_HEADER_SUBTEXT "${PRODUCT} goes into the Plugins folder of Winamp."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup puts ${PRODUCT} into the Plugins folder of Winamp. To use another copy of Winamp, click Browse and choose the folder that holds ${PLAYER_EXE}."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Winamp folder"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE LeaveFolderPage
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES

!define MUI_UNCONFIRMPAGE_TEXT_TOP "${PRODUCT} and its translations will be removed from Winamp's Plugins and Lang folders. The ratings stay in your music files, and the plugin's settings file (Plugins\gen_id3vimbrel.ini) is kept."
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; The player's own record of where it is, the 32-bit machine-wide one, then the
; usual place. Without /D= the first of these that holds the player is taken;
; when none does, the usual place is offered and the folder check says why.
Function FindPlayerFolder
  ReadRegStr $0 HKCU "Software\Winamp" ""
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\${PLAYER_EXE}"
    StrCpy $INSTDIR $0
    Return
  ${EndIf}
  SetRegView 32
  ReadRegStr $0 HKLM "Software\Winamp" ""
  SetRegView lastused
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\${PLAYER_EXE}"
    StrCpy $INSTDIR $0
    Return
  ${EndIf}
  StrCpy $INSTDIR "$PROGRAMFILES32\Winamp"
FunctionEnd

Function .onInit
  ${If} $INSTDIR == ""
    Call FindPlayerFolder
  ${EndIf}
FunctionEnd

; Windows keeps a loaded DLL in use, so the player must be closed before its
; plugin is replaced or removed. $R0: 1 when it is closed, 0 when the user
; gave up (and in silent mode, where nobody can close it).
!macro DEFINE_WAIT_FOR_PLAYER_TO_CLOSE prefix
Function ${prefix}WaitForPlayerToClose
  check:
    FindWindow $0 "${PLAYER_WINDOW_CLASS}"
    StrCmp $0 0 closed
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Winamp is running. Close it, then click Retry." /SD IDCANCEL IDRETRY check
    StrCpy $R0 0
    Return
  closed:
    StrCpy $R0 1
FunctionEnd
!macroend
!insertmacro DEFINE_WAIT_FOR_PLAYER_TO_CLOSE ""
!insertmacro DEFINE_WAIT_FOR_PLAYER_TO_CLOSE "un."

; $R0: 1 when $INSTDIR holds the player and the player is closed.
Function PlayerFolderReady
  ${IfNot} ${FileExists} "$INSTDIR\${PLAYER_EXE}"
    MessageBox MB_OK|MB_ICONSTOP "Winamp is not in this folder:$\r$\n$INSTDIR$\r$\n$\r$\nThere is no ${PLAYER_EXE} in it. Choose the folder Winamp is installed in." /SD IDOK
    StrCpy $R0 0
    Return
  ${EndIf}
  Call WaitForPlayerToClose
FunctionEnd

Function LeaveFolderPage
  Call PlayerFolderReady
  ${If} $R0 != 1
    Abort
  ${EndIf}
FunctionEnd

!macro INSTALL_TRANSLATION LANGUAGE
  SetOutPath "$INSTDIR\Lang\${LANGUAGE}"
  File "/oname=${TRANSLATION_NAME}" "${LANG_DIR}/${LANGUAGE}/${TRANSLATION_NAME}"
!macroend

; A language folder, and Lang itself, may hold the player's or other plugins' files:
; RMDir without /r removes a folder only when it is empty.
!macro REMOVE_TRANSLATION LANGUAGE
  Delete "$INSTDIR\Lang\${LANGUAGE}\${TRANSLATION_NAME}"
  RMDir "$INSTDIR\Lang\${LANGUAGE}"
!macroend

Section "Install"
  ; Checked again for silent installs, which skip the folder page.
  Call PlayerFolderReady
  ${If} $R0 != 1
    SetErrorLevel 2
    Abort
  ${EndIf}
  SetOutPath "$INSTDIR\Plugins"
  File "/oname=${PLUGIN_NAME}" "${PLUGIN_DLL}"
  !insertmacro FOR_EACH_LANGUAGE INSTALL_TRANSLATION
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} (Winamp plugin)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "ID3 Vimbrel developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Only what the installer put there: the settings file and the music stay.
Section "Uninstall"
  Call un.WaitForPlayerToClose
  ${If} $R0 != 1
    SetErrorLevel 2
    Abort
  ${EndIf}
  ClearErrors
  Delete "$INSTDIR\Plugins\${PLUGIN_NAME}"
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "Could not remove $INSTDIR\Plugins\${PLUGIN_NAME}. Close Winamp and run the uninstaller again." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  !insertmacro FOR_EACH_LANGUAGE REMOVE_TRANSLATION
  RMDir "$INSTDIR\Lang"
  Delete "$INSTDIR\${UNINSTALLER}"
  ; The entry may by now belong to an install into another player folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${EndIf}
SectionEnd
