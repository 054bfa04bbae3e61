// Both satellite exchanges against a box that answers arbitrary bytes: each always ends, with an outcome,
// after at most 99 entries.
#include "FuzzSupport.h"
#include "satellite/SatelliteProtocol.h"

#include <cstdlib>

namespace {

struct Table : satellite_protocol::Table
{
    int last = 0;
    void record_read(int entry, const satellite_record::Record& record) override
    {
        const SatelliteCells cells = satellite_record::decode(record);
        if (entry < 1 || entry > 99 || cells.name.size() > 17)
            std::abort();
    }
    satellite_record::Record record_to_write(int entry) override
    {
        return satellite_record::encode({QStringLiteral("Fuzz"), QString::number(entry), "0", "0"});
    }
    void entry_done(int entry) override
    {
        if (entry != last + 1)
            std::abort();
        last = entry;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    prepare_fuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t half = size / 2;
    ScriptedChannel reading(data, half);
    Table read_table;
    satellite_protocol::read_table(reading, read_table);
    ScriptedChannel writing(data + half, size - half);
    Table write_table;
    satellite_protocol::write_table(writing, write_table);
    return 0;
}
