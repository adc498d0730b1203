#pragma once

// The mode a release gives an installed file, as its manifest records it. Unrecorded for a
// release without mode records, whose files are made programs by name only.
enum class FileMode { Unrecorded, Plain, Executable };
