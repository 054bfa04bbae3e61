// Arbitrary bytes as a satellite CSV file: at most 99 rows, names of at most 16 characters, always an end.
#include "FuzzSupport.h"
#include "satellite/SatelliteCsv.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    prepare_fuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    satellite_csv::Reader reader;
    if (!reader.open(bytes_to_file(data, size)))
        std::abort();
    SatelliteCells cells;
    int rows = 0;
    while (reader.next(cells)) {
        if (++rows > satellite_csv::max_lines || cells.name.size() > 16)
            std::abort();
        // What was read goes to the box as a record and comes back as the same numbers.
        const SatelliteCells again = satellite_record::decode(satellite_record::encode(cells));
        if (again.vertical.toInt() < -90 || again.vertical.toInt() > 90)
            std::abort();
    }
    return 0;
}
