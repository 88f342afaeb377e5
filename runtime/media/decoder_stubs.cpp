// Placeholder decoder entry points until the decoder lands.
#include "sim/call.hpp"
#include "zeme.h"

#define ZEME_STUB(name, params, ...) \
    uint32_t name params { ZESIM_CALL(__VA_ARGS__) { return zemeER_NOT_IMPLEMENT; }; }

ZEME_STUB(zemeSystemInitialize, (void))
ZEME_STUB(zemeSystemUninitialize, (void))
ZEME_STUB(zemeCreateDecoderChannel, (const zemeDecChannelParameters *p, uint32_t c), p, c)
ZEME_STUB(zemeDestroyDecoderChannel, (uint32_t c), c)
ZEME_STUB(zemeStartDecoder, (uint32_t c), c)
ZEME_STUB(zemeResetDecoder, (uint32_t c), c)
ZEME_STUB(zemeStopDecoder, (uint32_t c), c)
ZEME_STUB(zemeSendStreamToDecoder, (uint32_t c, const zemeStream *s, uint32_t t), c, static_cast<const void *>(s), t)
ZEME_STUB(zemeReceiveFrameFromDecoder, (uint32_t c, zemeFrame *f, const zemeDecOutputOptions *o, uint32_t t), c,
          static_cast<void *>(f), static_cast<const void *>(o), t)
ZEME_STUB(zemeJpegSyncDecoder, (uint32_t c, const zemeStream *s, zemeFrame *f, uint32_t t), c,
          static_cast<const void *>(s), static_cast<void *>(f), t)
ZEME_STUB(zemeTransferFrameFromDecoder, (uint32_t c, zemeFrame *f, uint32_t e), c, static_cast<void *>(f), e)
ZEME_STUB(zemeDecReleaseFrame, (uint32_t c, const zemeFrame *f, uint32_t r), c, static_cast<const void *>(f), r)
ZEME_STUB(zemeGetJpegInfo, (const zemeStream *s, zemeDecJpegInfo *i), static_cast<const void *>(s), static_cast<void *>(i))
ZEME_STUB(zemeGetVideoInfo, (const zemeStream *s, zemeCodecType c, zemeDecVideoInfo *i), static_cast<const void *>(s), c,
          static_cast<void *>(i))
ZEME_STUB(zemeGetStreamInfoFromDecoder, (uint32_t c, zemeDecStreamInfo *i), c, static_cast<void *>(i))
ZEME_STUB(zemeGetDecoderStatus, (uint32_t c, zemeDecStatus *s), c, static_cast<void *>(s))
ZEME_STUB(zemeJpegDecGetCaps, (zemeJpegDecCapability *c), static_cast<void *>(c))
ZEME_STUB(zemeVideoDecGetCaps, (zemeCodecType t, zemeVideoDecCapability *c), t, static_cast<void *>(c))
ZEME_STUB(zemeGetDecoderAvailableChannels, (uint32_t *n), n)
