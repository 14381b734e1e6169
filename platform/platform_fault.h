/*
 * platform_fault.h - the backends' side of plat_set_fault_hook.
 */
#ifndef REGISTRY_PLATFORM_FAULT_H
#define REGISTRY_PLATFORM_FAULT_H

/* 0 when the call may go ahead; else the errno value it fails with (errno
 * is set to it already). */
int plat_fault_check(const char *op, const char *path);

#endif
