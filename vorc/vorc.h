// libvorc_core: the whole public API in one header.
#ifndef VORC_VORC_H
#define VORC_VORC_H

#include "vorc/backends/color_conversion.h"
#include "vorc/backends/raw_frame_dumper.h"
#include "vorc/core/base64.h"
#include "vorc/core/exceptions.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/lap_timer.h"
#include "vorc/core/scan_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/core/stream_interfaces.h"
#include "vorc/core/value_range.h"
#include "vorc/core/version.h"
#include "vorc/decode/huffman_tree.h"
#include "vorc/sinks/binary_file_writer.h"
#include "vorc/sinks/byte_stream_receiver.h"
#include "vorc/sources/camera_live_stream.h"
#include "vorc/sources/frame_rate_presets.h"
#include "vorc/sources/ip_address.h"

#endif
