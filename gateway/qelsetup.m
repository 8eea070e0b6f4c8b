%QELSETUP Install or uninstall a shared system file (COM server DLL or ActiveX control).
%   STATUS = QELSETUP(COMMAND, FILE, USESYSTEMDIR, DOREGISTRATION, DOSHAREDCOUNT)
%   [STATUS, MESSAGE] = QELSETUP(COMMAND, FILE, USESYSTEMDIR, DOREGISTRATION, DOSHAREDCOUNT)
%   [STATUS, MESSAGE, RESTARTNEEDED] = QELSETUP(...)
%
%   COMMAND         'install' or 'uninstall' (letter case is ignored).
%   FILE            the file's path, at most 255 characters.
%   USESYSTEMDIR    1: install copies FILE into the Windows system directory when it
%                   is strictly newer than the copy there, and uninstall deletes it from
%                   there when no other product uses it. 0: act on FILE where it is.
%   DOREGISTRATION  1: register (install) or unregister (uninstall) the file's COM
%                   server through its own DllRegisterServer/DllUnregisterServer. 0: skip.
%   DOSHAREDCOUNT   1: raise (install) or lower (uninstall) the file's shared-use count
%                   under HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs. 0: skip.
%
%   A control (.ocx) takes its companion .dep file (same name) along.
%
%   STATUS is 1 on success and 0 on failure. MESSAGE says what went wrong, or is empty;
%   after a success it may say that a file of an unknown type was not registered.
%   With one output (or none), a failure (STATUS 0) raises an error carrying MESSAGE
%   instead; with two or three outputs no error is raised and STATUS 0 must be checked.
%
%   RESTARTNEEDED is 1 when the call succeeded but a running program had the file
%   loaded: the old copy was renamed aside and is deleted at the next restart, and
%   programs that are running keep using it until they end. Otherwise it is 0.
%
%   A file that Windows protects (Windows File or Resource Protection) is counted but
%   neither replaced, registered nor deleted: Windows keeps its own copy, and MESSAGE
%   says so after a successful install.
%
%   Changing anything requires an administrator or power user on Windows NT and later,
%   running as one as Windows judges it: the host must be started elevated ("Run as
%   administrator"). An unelevated one gets the permission message and nothing changes.
%
%   Example:
%      [status, message, restartNeeded] = qelsetup('install', 'D:\kit\bin\Chart.ocx', 1, 1, 1);
%      if status == 0, error(message); end
%      if restartNeeded, disp('Restart Windows to finish the update.'); end
