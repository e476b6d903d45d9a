// ScannerUtilityStart: see the launcher issue.
