#pragma once

// How hard the lossy encoders compress. Each level looks about the same in every format; the
// settings behind it were chosen by measurement (see the README's table) and live in each
// format's writer entry.
enum class Quality
{
    Maximum,
    High,
    Normal, // the encoders' settings before the choice existed
    Compact,
};
