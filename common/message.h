#ifndef QELSETUP_COMMON_MESSAGE_H
#define QELSETUP_COMMON_MESSAGE_H

#include "common/message_size.h"

// Every message buffer handed to this module holds at least kMessageSize bytes.
// Paths are limited to 255 characters, so each of our messages fits with room to spare.
constexpr int kMessageSize = QEL_MESSAGE_BUFFER_SIZE;

// Overwrites the buffer from its start with one printf-style message, truncated
// to kMessageSize bytes and always terminated. Returns 0 so that a failing step
// can write its message and report failure in one statement.
int WriteMessage(char* message, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Adds a printf-style text after the message already in the buffer, within the same
// kMessageSize bytes. Returns 0, like WriteMessage.
int AppendMessage(char* message, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Empties the buffer: its first byte becomes NUL.
void ClearMessage(char* message);

#endif
