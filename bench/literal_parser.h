// The body parser as its algorithm reads when taken word for word: lines and
// file content are read one byte at a time through the stream, every file's
// bytes are copied into a stream of its own, and names are looked up by
// scanning the list. Only the boundary comparison is the corrected one (every
// byte compared, a partial match restarted at its longest border). It is the
// baseline the engine's parser is measured against.
#pragma once

#include "engine/uploadstate.h"

namespace kvbench {

void LiteralParseBody(kvp::TUploadState& state, kvp::TMemoryStream& body, kvp::IClientProbe& probe);

}  // namespace kvbench
