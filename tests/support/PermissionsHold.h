#pragma once
// Run as the superuser (a container), file permissions would not hold the code under test back:
// the permission-override capabilities are dropped before any thread starts (at static
// initialisation), so a file or folder without permissions is as unreadable to the test process
// as to a user's. False when that could not be done; tests of unreadable files skip then.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

inline const bool g_permissionsHold = [] {
    if (::geteuid() != 0)
        return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    return ::syscall(SYS_capset, &header, data) == 0;
}();
