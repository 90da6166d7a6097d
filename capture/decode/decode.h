// Frame decoding: the one header the rest of lorvcap includes.
#pragma once

#include "decode/colour_conversion.h"
#include "decode/compressed_decoders.h"
#include "decode/decode_pipeline.h"
#include "decode/decoder_tables.h"
#include "decode/stretch.h"
