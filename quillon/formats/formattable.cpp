// The constant table of format modules: index = format number of the file API. A row whose
// module is not part of this build has no operations, so every call on it reports its own
// "not supported" message.
#include "quillon/soundcore/aurex.h"

const AUREX_FORMAT AUREX_formats[AUREX_NUMFORMATS] = {
    /*  0 */ {"aiff", "Apple AIFF/AIFC"},
    /*  1 */ {"wave", "Microsoft Wave"},
    /*  2 */ {"", ""},
    /*  3 */ {"cdxa", "CD-ROM XA"},
    /*  4 */ {"vag", "Sony VAG"},
    /*  5 */ {"raw", "RAW (no header)"},
    /*  6 */ {"n64hybrid", "ZOR N64/AIFF hybrid"},
    /*  7 */ {"pcbank", "SND PC bank"},
    /*  8 */ {"pcpatch", "SND PC patch"},
    /*  9 */ {"pcstream", "SND PC stream"},
    /* 10 */ {"psxbank", "SND PSX bank"},
    /* 11 */ {"psxpatch", "SND PSX patch"},
    /* 12 */ {"psxstream", "SND PSX stream"},
    /* 13 */ {"n64bank", "SND N64 bank"},
    /* 14 */ {"n64patch", "SND N64 patch"},
    /* 15 */ {"macbank", "SND MAC bank"},
    /* 16 */ {"macstream", "SND MAC stream"},
    /* 17 */ {"oktavagstream", "OKTA VAG stream"},
    /* 18 */ {"dzlpsstream", "Obsolete DZL 2000 PS stream"},
    /* 19 */ {"ps2bank", "SND PS2 bank"},
    /* 20 */ {"ps2stream", "SND PS2 stream"},
    /* 21 */ {"quicktime", "Quicktime Movie"},
    /* 22 */ {"oggvorbis", "Ogg Vorbis"},
    /* 23 */ {"mpeg", "MPEG"},
};
