// The peer measured beside vcombus in the same run: a pair of pseudo-terminals joined by socat,
// the usual way to get a null-modem pair on Linux. Both ends are opened raw, as a serial
// application opens a port.
#pragma once

#include <string>

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }
    int A() const { return a_; }
    int B() const { return b_; }

private:
    std::string error_;
    std::string dir_;
    int pid_ = -1;
    int a_ = -1;
    int b_ = -1;
};
