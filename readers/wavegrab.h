// FLAC reader.
#pragma once

#include <string>

/// Runs `metaflac` on the file named by `pfad_uebergabe_flac` and replaces `flac_tags_content`
/// with the stream facts and tags as labelled lines. When the tool cannot be started at all
/// (no pipe, no process), reports "open failed" and ends the process with status 0.
void wavegrab();

