// The key of the server at the other end of a WinHTTP request.
#pragma once

#include "params/pins.h"

namespace pb {

// The SHA-256 of the DER SubjectPublicKeyInfo of the leaf certificate that
// the server presented on `request` (a WinHTTP request handle, passed as
// void* so that callers need no <windows.h>). Valid once WinHttpSendRequest
// has returned on an https request: the handshake is over then. False when
// there is no certificate (plain http) or any step fails.
bool ServerKeyDigest(void* request, KeyDigest& digest);

}  // namespace pb
