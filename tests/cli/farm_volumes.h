// Four size-limited tmpfs mounts: two source and two destination folders on drives of their own,
// so that a plan from both sources to both destinations runs as two streams at once whichever
// destination each source is given. Mounting needs root.
#pragma once

#include <string>

#include "support/small_volume.h"
#include "support/temp_folder.h"

struct farm_volumes_s {
    temp_folder_s root; // declared first: the mounts go before their folder does
    small_volume_s source_a{root.path + "/source_a", "16m"};
    small_volume_s source_b{root.path + "/source_b", "16m"};
    small_volume_s destination_c{root.path + "/destination_c", "16m"};
    small_volume_s destination_d{root.path + "/destination_d", "16m"};

    bool mounted() const {
        return source_a.mounted && source_b.mounted && destination_c.mounted &&
               destination_d.mounted;
    }
};
