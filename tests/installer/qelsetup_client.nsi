; A small silent installer that uses qelsetup as a plugin, the way a product's own
; installer would: only the 32-bit module ships, in the plugins folder, and its
; plain exports are called through the System plugin with the C calling convention.
;
;   makensis -DMODULE=<qelsetup.mexw32> -DOUTFILE=<installer.exe> qelsetup_client.nsi
;   installer.exe /STEP=install|uninstall /FILE=<server> /RESULT=<text file>
;
; The result file gets one line per call: the function, its result and, for the two
; operations, the message it wrote.
Unicode true
SilentInstall silent
RequestExecutionLevel admin
Name "qelsetup client"
OutFile "${OUTFILE}"

!include "FileFunc.nsh"

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
    System::Call '$PLUGINSDIR\qelsetup.mexw32::installQELSystemFiles(m R2, i 1, i 1, i 1, m .r2) i .r1 ?c'
    FileWrite $R4 "installQELSystemFiles $1 $2$\n"
    Goto done
uninstall:
    System::Call '$PLUGINSDIR\qelsetup.mexw32::uninstallQELSystemFiles(m R2, i 1, i 1, i 1, m .r2) i .r1 ?c'
    FileWrite $R4 "uninstallQELSystemFiles $1 $2$\n"
done:
    FileClose $R4
SectionEnd
