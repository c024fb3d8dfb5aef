# quillon play's look at a stream's header chunk before it plays the file.
ht_fuzz(fuzz_playheader fuzz_playheader.cpp quillon_app)
