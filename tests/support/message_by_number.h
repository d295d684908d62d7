// The tests look messages up by their catalogue number, independently of the names the program
// uses, so that a name that points at the wrong number shows as a wrong text.
#pragma once

#include "common/messages.h"

inline const char* MessageByNumber(int number) {
    return messageText(static_cast<Message>(number));
}
