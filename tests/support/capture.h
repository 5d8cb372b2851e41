// Records what the product shows through its progress callback.
#pragma once

#include <string>
#include <vector>

#include "disk/qvdisk.h"

struct Capture {
    std::vector<std::string> messages;   // qv_error at every call with -1
    std::vector<int> percents;           // every percentage, in order
};

inline Capture& capture() {
    static Capture c;
    return c;
}

inline void capture_progress(int value) {
    if (value < 0)
        capture().messages.push_back(qv_error);
    else
        capture().percents.push_back(value);
}

inline void clear_capture() { capture() = Capture(); }
