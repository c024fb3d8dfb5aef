// The constant table of format modules: index = format number of the file API. A row whose
// module is not part of this build has no operations, so every call on it reports its own
// "not supported" message.
#include "quillon/formats/aiff.h"
#include "quillon/formats/cdxa.h"
#include "quillon/formats/consolecommon.h"
#include "quillon/formats/dzlpsstream.h"
#include "quillon/formats/macbank.h"
#include "quillon/formats/macstream.h"
#include "quillon/formats/mpeg.h"
#include "quillon/formats/n64bank.h"
#include "quillon/formats/n64patch.h"
#include "quillon/formats/oggvorbis.h"
#include "quillon/formats/oktavagstream.h"
#include "quillon/formats/pcbank.h"
#include "quillon/formats/pcpatch.h"
#include "quillon/formats/pcstream.h"
#include "quillon/formats/ps2bank.h"
#include "quillon/formats/ps2stream.h"
#include "quillon/formats/psxbank.h"
#include "quillon/formats/psxpatch.h"
#include "quillon/formats/psxstream.h"
#include "quillon/formats/quicktime.h"
#include "quillon/formats/raw.h"
#include "quillon/formats/vag.h"
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
    /*  3 */
    {"cdxa", "CD-ROM XA", cdxa_about, cdxa_identify, console_open, cdxa_info, cdxa_read, console_close,
     console_open, cdxa_write, console_close},
    /*  4 */
    {"vag", "Sony VAG", vag_about, vag_identify, console_open, vag_info, vag_read, console_close,
     console_open, vag_write, console_close},
    /*  5 */
    {"raw", "RAW (no header)", raw_about, raw_identify, console_open, raw_info, raw_read, console_close,
     console_open, raw_write, console_close},
    /*  6 */ {"n64hybrid", "ZOR N64/AIFF hybrid"},
    /* 7 */
    {"pcbank", "SND PC bank", pcbank_about, pcbank_identify, pcbank_open, pcbank_info, pcbank_read,
     sndbank_close, pcbank_create, sndbank_write, sndbank_wclose},
    /* 8 */
    {"pcpatch", "SND PC patch", pcpatch_about, pcpatch_identify, console_open, pcpatch_info, pcpatch_read,
     console_close},
    /*  9 */
    {"pcstream", "SND PC stream", pcstream_about, pcstream_identify, sndstream_open, pcstream_info,
     pcstream_read, sndstream_close, sndstream_create, pcstream_write, sndstream_wclose},
    /* 10 */
    {"psxbank", "SND PSX bank", psxbank_about, psxbank_identify, psxbank_open, psxbank_info, psxbank_read,
     sndbank_close, psxbank_create, sndbank_write, sndbank_wclose},
    /* 11 */
    {"psxpatch", "SND PSX patch", psxpatch_about, psxpatch_identify, console_open, psxpatch_info,
     psxpatch_read, console_close},
    /* 12 */
    {"psxstream", "SND PSX stream", psxstream_about, psxstream_identify, sndstream_open, psxstream_info,
     psxstream_read, sndstream_close, sndstream_create, psxstream_write, sndstream_wclose},
    /* 13 */
    {"n64bank", "SND N64 bank", n64bank_about, n64bank_identify, n64bank_open, n64bank_info, n64bank_read,
     sndbank_close, n64bank_create, sndbank_write, sndbank_wclose},
    /* 14 */
    {"n64patch", "SND N64 patch", n64patch_about, n64patch_identify, console_open, n64patch_info,
     n64patch_read, console_close},
    /* 15 */
    {"macbank", "SND MAC bank", macbank_about, macbank_identify, macbank_open, macbank_info, macbank_read,
     sndbank_close, macbank_create, sndbank_write, sndbank_wclose},
    /* 16 */
    {"macstream", "SND MAC stream", macstream_about, macstream_identify, sndstream_open, macstream_info,
     macstream_read, sndstream_close, sndstream_create, macstream_write, sndstream_wclose},
    /* 17 */
    {"oktavagstream", "OKTA VAG stream", oktavagstream_about, nullptr, nullptr, nullptr, nullptr, nullptr,
     console_open, oktavagstream_write, console_close},
    /* 18 */
    {"dzlpsstream", "Obsolete DZL 2000 PS stream", dzlpsstream_about, nullptr, nullptr, nullptr, nullptr,
     nullptr, sndstream_create, dzlpsstream_write, sndstream_wclose},
    /* 19 */
    {"ps2bank", "SND PS2 bank", ps2bank_about, ps2bank_identify, ps2bank_open, ps2bank_info, ps2bank_read,
     sndbank_close, ps2bank_create, sndbank_write, sndbank_wclose},
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
