#include "common/message.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int WriteMessage(char* message, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    if (vsnprintf(message, kMessageSize, format, args) < 0) message[0] = '\0';
    va_end(args);
    return 0;
}

int AppendMessage(char* message, const char* format, ...)
{
    size_t used = strnlen(message, kMessageSize - 1);
    va_list args;
    va_start(args, format);
    if (vsnprintf(message + used, kMessageSize - used, format, args) < 0) message[used] = '\0';
    va_end(args);
    return 0;
}

void ClearMessage(char* message)
{
    message[0] = '\0';
}
