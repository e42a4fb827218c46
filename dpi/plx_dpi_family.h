// The router's 31 application families: ids 1 to 31, each with a configuration name (as an app
// list names it) and a display name (as the recognition engine reports it). 0 and 32 are the
// bounds ("min"/"Min", "max"/"Max"); 32 also means "unknown".
#pragma once

#include <cstdint>

inline constexpr uint32_t PLX_APP_FAMILY_MIN = 0;
inline constexpr uint32_t PLX_APP_FAMILY_MAX = 32;
inline constexpr uint32_t PLX_APP_FAMILY_UNKNOWN = PLX_APP_FAMILY_MAX;

struct plx_app_family {
    const char *config_name;
    const char *display_name;
};

// Names of family id 0..32; an id above 32 gets those of 32.
const plx_app_family &plx_app_family_get(uint32_t id);

// Family id of a configuration name ("audio_video"), compared over at most 128 characters; 32
// when none matches.
uint32_t plx_family_from_config_name(const char *name);

// Family id of a display name ("Audio/Video"). Only the ids that start with the name's first
// letter are compared; a first letter no family starts with, or no match, gives 32.
uint32_t plx_family_from_engine_name(const char *name);
