// The wording of network failures.
#include "failure_text.h"

#include "engine.h"
#include "net.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string call_failure_text(int why, const std::string& address, int own_port, double seconds)
{
    std::string host;
    int port = own_port;
    engine_split_address(address, own_port, &host, &port);
    std::string where = host + ":" + std::to_string(port);
    char took[32];
    std::snprintf(took, sizeof took, "%.2f s", seconds);
    switch (why) {
    case NET_FAILED_REFUSED:
        return "Nobody is listening on " + where + " (refused after " + took + ").";
    case NET_FAILED_SILENT:
        return where + " does not answer (nothing in " + took + ").";
    case NET_FAILED_NO_NAME:
        return "The name " + host + " cannot be looked up (after " + took + ").";
    case NET_FAILED_UNREACHABLE:
        return where + " cannot be reached from here (after " + took + ").";
    default:
        return "";
    }
}

std::string listen_failure_text(int port, int err)
{
    std::string text = "Can't listen on port " + std::to_string(port) + ": ";
    if (err == EADDRINUSE) text += "another program uses it.";
    else if (err == EACCES) text += "ports below 1024 are the system's.";
    else text += std::strerror(err) + std::string(".");
    return text + " Nobody can call you: choose another Port in Options, then start jox again.";
}
