// The item writers the walk uses: the codec's encoding interface, writing
// straight into the output buffer.
#ifndef TAVREL_SCALAR_WRITERS_H
#define TAVREL_SCALAR_WRITERS_H

#include "cbor_encoding.hpp"
#include "output_buffer.h"

#endif  // TAVREL_SCALAR_WRITERS_H
