// The start and end of a DLL built from the system's sources (DllMain); to be
// written with the rest of the Windows back end.
