#ifndef QELSETUP_INSTALLER_VERSION_PROBE_H
#define QELSETUP_INSTALLER_VERSION_PROBE_H

// The file version of a Windows executable's fixed version record; each field holds
// 0 to 65535.
struct FileVersion {
    int major;
    int minor;
    int build;
    int revision;
};

// The probe's third answer, besides 1 and 0.
constexpr int kVersionAbsent = -1;

// 1: `version` filled. kVersionAbsent: the file does not exist, or was read and has no
// version resource (message written either way; callers may treat it as "no usable
// version here"). 0: the file cannot be read (held open without sharing, access
// denied), or its version data is damaged (message written).
int GetFileVersionNumbers(const char* path, FileVersion* version, char* message);

// 1 when `a` is strictly newer than `b`, else 0.
int IsVersionNewer(const FileVersion& a, const FileVersion& b);

#endif
