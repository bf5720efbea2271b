#pragma once

#include <QStringList>

#include <cstdio>

// The entries of a "player.list" file, each line trimmed, blank ones left out.
// A line longer than 511 bytes arrives in pieces, each taken as a line of its own.
QStringList read_playlist_lines(std::FILE* file);
