#pragma once
// What the image data service answers to one decoded request (the response bytes, length
// prefix included).
//
// Named session (second part not empty): the session code "first : second" (empty when the
// first part is empty) is looked up in the registry; the stored frame found is encoded as a
// colour PNG, the placeholder "Requested frame not found [code:count]" as a grey one; a
// matching database without a frame at or after the count, or a frame that does not decode,
// gives 4 zero bytes. No session (second part empty): the frame at or after the count of the
// recording in progress, or the placeholder "Requested frame not found [count]"; 4 zero bytes
// when nothing is being recorded.
//
// The recording's lock is held only to copy the stored bytes, the registry's shared lock only
// for the lookup: decoding and encoding happen after both are released, so a request never
// holds up the recording for longer than one frame read. live is the recording in progress
// (null: none is ever made, as in a program that only serves).
//
// Errors: a std::exception while looking up (a database that cannot be opened, a malformed
// stored number) is posted with its message as an error row and answered with 4 zero bytes.
// Thread safety: may run on several connection threads at once.
#include <cstdint>
#include <vector>

#include "base/thread_message.h"
#include "net/image_protocol.h"

class database_registry;
class png_pipeline;
class recording_database;

std::vector<std::uint8_t> answer_image_request(const image_request& request, const png_pipeline& pipeline,
                                               const database_registry& registry, const recording_database* live,
                                               const event_sink_ptr& sink);
