// Placeholder encoder entry points until the encoder lands.
#include "sim/call.hpp"
#include "zeme.h"

#define ZEME_STUB(name, params, ...) \
    uint32_t name params { ZESIM_CALL(__VA_ARGS__) { return zemeER_NOT_IMPLEMENT; }; }

ZEME_STUB(zemeCreateEncoderChannel, (const zemeEncChannelParameters *p, uint32_t c), static_cast<const void *>(p), c)
ZEME_STUB(zemeDestroyEncoderChannel, (uint32_t c), c)
ZEME_STUB(zemeStartEncoder, (uint32_t c), c)
ZEME_STUB(zemeResetEncoder, (uint32_t c), c)
ZEME_STUB(zemeStopEncoder, (uint32_t c), c)
ZEME_STUB(zemeSendFrameToEncoder, (uint32_t c, const zemeFrame *f, const zemeEncExtendedParams *e, uint32_t t), c,
          static_cast<const void *>(f), static_cast<const void *>(e), t)
ZEME_STUB(zemeReceiveStreamFromEncoder, (uint32_t c, zemeStream *s, uint32_t t), c, static_cast<void *>(s), t)
ZEME_STUB(zemeJpegSyncEncoder, (uint32_t c, const zemeFrame *f, zemeStream *s, const zemeEncExtendedParams *e, uint32_t t),
          c, static_cast<const void *>(f), static_cast<void *>(s), static_cast<const void *>(e), t)
ZEME_STUB(zemeEncReleaseStream, (uint32_t c, const zemeStream *s, uint32_t r), c, static_cast<const void *>(s), r)
ZEME_STUB(zemeGetEncoderAvailableChannels, (uint32_t *n), n)
