// libTONEFX.so: the export DoToneFx comes from tonefx_core.
