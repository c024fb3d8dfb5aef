// The constant table of format modules: index = format number of the file API. A row whose
// module is not part of this build has no operations, so every call on it reports its own
// "not supported" message.
#include "quillon/formats/aiff.h"
#include "quillon/formats/dzlpsstream.h"
#include "quillon/formats/macstream.h"
#include "quillon/formats/mpeg.h"
#include "quillon/formats/oggvorbis.h"
#include "quillon/formats/pcstream.h"
#include "quillon/formats/ps2stream.h"
#include "quillon/formats/psxstream.h"
#include "quillon/formats/quicktime.h"
#include "quillon/formats/wave.h"
#include "quillon/soundcore/aurex.h"

const AUREX_FORMAT AUREX_formats[AUREX_NUMFORMATS] = {
    /*  0 */
    {"aiff", "Apple AIFF/AIFC", aiff_about, aiff_identify, aiff_open, aiff_info, aiff_read, aiff_close,
     aiff_create, aiff_write, aiff_wclose},
    /*  1 */
    {"wave", "Microsoft Wave", wave_about, wave_identify, wave_open, wave_info, wave_read, wave_close,
     wave_create, wave_write, wave_wclose},
    /*  2 */ {"", ""},
    /*  3 */ {"cdxa", "CD-ROM XA"},
    /*  4 */ {"vag", "Sony VAG"},
    /*  5 */ {"raw", "RAW (no header)"},
    /*  6 */ {"n64hybrid", "ZOR N64/AIFF hybrid"},
    /*  7 */ {"pcbank", "SND PC bank"},
    /*  8 */ {"pcpatch", "SND PC patch"},
    /*  9 */
    {"pcstream", "SND PC stream", pcstream_about, pcstream_identify, sndstream_open, pcstream_info,
     pcstream_read, sndstream_close, sndstream_create, pcstream_write, sndstream_wclose},
    /* 10 */ {"psxbank", "SND PSX bank"},
    /* 11 */ {"psxpatch", "SND PSX patch"},
    /* 12 */
    {"psxstream", "SND PSX stream", psxstream_about, psxstream_identify, sndstream_open, psxstream_info,
     psxstream_read, sndstream_close, sndstream_create, psxstream_write, sndstream_wclose},
    /* 13 */ {"n64bank", "SND N64 bank"},
    /* 14 */ {"n64patch", "SND N64 patch"},
    /* 15 */ {"macbank", "SND MAC bank"},
    /* 16 */
    {"macstream", "SND MAC stream", macstream_about, macstream_identify, sndstream_open, macstream_info,
     macstream_read, sndstream_close, sndstream_create, macstream_write, sndstream_wclose},
    /* 17 */ {"oktavagstream", "OKTA VAG stream"},
    /* 18 */
    {"dzlpsstream", "Obsolete DZL 2000 PS stream", dzlpsstream_about, nullptr, nullptr, nullptr, nullptr,
     nullptr, sndstream_create, dzlpsstream_write, sndstream_wclose},
    /* 19 */ {"ps2bank", "SND PS2 bank"},
    /* 20 */
    {"ps2stream", "SND PS2 stream", ps2stream_about, ps2stream_identify, sndstream_open, ps2stream_info,
     ps2stream_read, sndstream_close, sndstream_create, ps2stream_write, sndstream_wclose},
    /* 21 */
    {"quicktime", "Quicktime Movie", quicktime_about, quicktime_identify, quicktime_open, quicktime_info,
     quicktime_read, quicktime_close},
    /* 22 */
    {"oggvorbis", "Ogg Vorbis", oggvorbis_about, oggvorbis_identify, oggvorbis_open, oggvorbis_info,
     oggvorbis_read, oggvorbis_close, oggvorbis_create, oggvorbis_write, oggvorbis_wclose},
    /* 23 */
    {"mpeg", "MPEG", mpeg_about, mpeg_identify, mpeg_open, mpeg_info, mpeg_read, mpeg_close, mpeg_create,
     mpeg_write, mpeg_wclose},
};
