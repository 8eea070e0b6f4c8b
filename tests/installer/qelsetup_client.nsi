; A small silent installer that uses qelsetup as a plugin, the way a product's own
; installer would: only the 32-bit module ships, in the plugins folder, and its
; plain exports are called through the System plugin with the C calling convention.
;
;   makensis -DMODULE=<qelsetup.mexw32> -DOUTFILE=<installer.exe> qelsetup_client.nsi
;   installer.exe /STEP=install|uninstall /FILE=<server> /RESULT=<text file>
;
; The result file gets one line per call: the function, its result and, for the two
; operations, whether a restart is needed and the message it wrote; then "reboot flag
; set" when the installer has set its reboot flag.
Unicode true
SilentInstall silent
RequestExecutionLevel admin
Name "qelsetup client"
OutFile "${OUTFILE}"

!include "FileFunc.nsh"
!include "LogicLib.nsh"

Section
    ${GetParameters} $R0
    ${GetOptions} $R0 "/STEP=" $R1
    ${GetOptions} $R0 "/FILE=" $R2
    ${GetOptions} $R0 "/RESULT=" $R3

    InitPluginsDir
    File "/oname=$PLUGINSDIR\qelsetup.mexw32" "${MODULE}"

    FileOpen $R4 $R3 w
    System::Call '$PLUGINSDIR\qelsetup.mexw32::RunningAsAdministrator() i .r0 ?c'
    FileWrite $R4 "RunningAsAdministrator $0$\n"

    StrCmp $R1 "install" 0 uninstall
    System::Call '$PLUGINSDIR\qelsetup.mexw32::installQELSystemFilesEx(m R2, i 1, i 1, i 1, m .r2, *i .r3) i .r1 ?c'
    FileWrite $R4 "installQELSystemFilesEx $1 $3 $2$\n"
    Goto done
uninstall:
    System::Call '$PLUGINSDIR\qelsetup.mexw32::uninstallQELSystemFilesEx(m R2, i 1, i 1, i 1, m .r2, *i .r3) i .r1 ?c'
    FileWrite $R4 "uninstallQELSystemFilesEx $1 $3 $2$\n"
done:
    ; A running program keeps the old copy until it ends: the installer says that a
    ; restart is needed, as it would for any file it replaced in use.
    ${If} $3 = 1
        SetRebootFlag true
    ${EndIf}
    IfRebootFlag 0 +2
    FileWrite $R4 "reboot flag set$\n"
    FileClose $R4
SectionEnd
