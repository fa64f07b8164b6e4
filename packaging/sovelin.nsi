; Per-user installer of Sovelin, built by the `package` target:
;   makensis -DVERSION=1.2.3 -DEXE=path/sovelin.exe -DOUTFILE=path/setup.exe
;            -DINSTANCE_MUTEX=Local\Name sovelin.nsi
; No administrator rights: the program goes to %LOCALAPPDATA%\Programs\Sovelin,
; the Start menu entry and the uninstall entry are the user's own.
Unicode true
; 64-bit stubs: the client is a 64-bit program, and so is this Wine.
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define PRODUCT "Sovelin"
!define PUBLISHER "Sovelin"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Sovelin"
; The client's window class (app/window.h).
!define WINDOW_CLASS "Sovelin"
; settings.dat and sovelin.log live in the client's working directory.
!define DATA_DIR "$LOCALAPPDATA\Sovelin"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Sovelin"
; An upgrade goes where the user put the program before.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 ${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A running client is closed the way a user closes it, so that it gives the
; proxy setting back; then we wait until its process has ended (the mutex it
; holds is released only then). Leaves $0 at 0 when it is gone.
!macro CLOSE_CLIENT
  StrCpy $0 0
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${INSTANCE_MUTEX}") p .r1'
  ${If} $1 P<> 0
    FindWindow $2 "${WINDOW_CLASS}"
    ${If} $2 P<> 0
      SendMessage $2 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${EndIf}
    ; WAIT_OBJECT_0 or WAIT_ABANDONED (0x80): the client is gone.
    System::Call 'kernel32::WaitForSingleObject(p r1, i 20000) i .r0'
    ${If} $0 = 0x80
      StrCpy $0 0
    ${EndIf}
    ${If} $0 = 0
      System::Call 'kernel32::ReleaseMutex(p r1)'
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r1)'
  ${EndIf}
!macroend

Function CloseClient
  !insertmacro CLOSE_CLIENT
  ${If} $0 <> 0
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} is still running. Close it and try again." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd

Function un.CloseClient
  !insertmacro CLOSE_CLIENT
  ${If} $0 <> 0
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} is still running. Close it and try again." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd

Section "Sovelin"
  Call CloseClient
  SetOutPath "$INSTDIR"
  File "/oname=sovelin.exe" "${EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcut's working directory is the data folder: SetOutPath sets it.
  CreateDirectory "${DATA_DIR}"
  SetOutPath "${DATA_DIR}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\sovelin.exe" "" "$INSTDIR\sovelin.exe" 0

  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\sovelin.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Call un.CloseClient
  ; After a crash the setting may still point at the client's listener: the
  ; client's own start-up repair decides what to give back (and logs it in
  ; the data folder, its working directory).
  SetOutPath "$TEMP"
  ${If} ${FileExists} "${DATA_DIR}\*.*"
    SetOutPath "${DATA_DIR}"
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\sovelin.exe"
    ExecWait '"$INSTDIR\sovelin.exe" --repair'
  ${EndIf}
  ; Not the data folder: it may be removed below.
  SetOutPath "$TEMP"

  Delete "$INSTDIR\sovelin.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"

  MessageBox MB_YESNO|MB_ICONQUESTION "Keep your ${PRODUCT} settings and log?" /SD IDYES IDYES keep
  Delete "${DATA_DIR}\settings.dat"
  Delete "${DATA_DIR}\sovelin.log"
  Delete "${DATA_DIR}\sovelin.log.1"
  RMDir "${DATA_DIR}"
  keep:
SectionEnd
