// The players of the box's side of each conversation: the access handshake, then one player per
// family of bootloaders.
#pragma once

class BoxLine;
struct BoxOptions;

// The access handshake: keyword, "granted", digit echo, 0xAF 0xFE and the version line (or,
// for the legacy loaders, the keyword and 0x01). Returns false on a violation or hang-up.
bool PlayAccess(BoxLine& line, const BoxOptions& options);

// One player per family of bootloaders; each returns 0 when the program kept the protocol,
// 1 otherwise. They run after PlayAccess.
int PlayStreaming(BoxLine& line, const BoxOptions& options);      // 12.4-12.6, 21.x-24.x, 0.0
int PlayMenuLoader(BoxLine& line, const BoxOptions& options);     // 2.0-4.x menus, 20.5-21.0
int PlayHyperLoader(BoxLine& line, const BoxOptions& options);    // 1.4-1.9
int PlayLoader411(BoxLine& line, const BoxOptions& options);      // 4.11-4.13
int PlayXmodemVerdict(BoxLine& line, const BoxOptions& options);  // 5.1, 5.3
int PlayLegacy(BoxLine& line, const BoxOptions& options);         // 10.0-12.3 legacy loaders
int PlaySatellite(BoxLine& line, const BoxOptions& options);      // -s menu answer
