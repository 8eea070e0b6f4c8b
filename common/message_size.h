#ifndef QELSETUP_COMMON_MESSAGE_SIZE_H
#define QELSETUP_COMMON_MESSAGE_SIZE_H

/* The size of a message buffer: a caller's buffer holds at least this many bytes, and
   every message the module writes fits in it whole. The one definition, for the
   module's own code and, through operations.h, for its callers. Valid C99 and C++. */
#define QEL_MESSAGE_BUFFER_SIZE 1024

#endif
