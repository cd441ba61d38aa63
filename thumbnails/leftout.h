#pragma once

// Why an image got no thumbnail.
enum class LeftOut {
    Unreadable, // not an image that could be read, or its thumbnail could not be saved
    Link,       // a link out of the folder, or to what the folder's owner cannot read
    Pixels,     // more pixels than any photo has
    Memory,     // its decoding would take more memory than all decodings together may
    Time,       // its decoding took too long
    Foreign,    // another program's thumbnail of it is out of date, and not ours to replace
};
inline constexpr int leftOutKinds = int(LeftOut::Foreign) + 1;
