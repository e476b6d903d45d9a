// libTQ5UTIL.so: the export ScannerUtilityStart comes from tq5util_core.
