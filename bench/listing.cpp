// Times the record listing (getallbackuprecs) through the running service:
// a web request in through the dispatcher, the reply out of its sink. The
// baselines, measured in the same run, are the same request with one record
// and the database read of every record on its own.
//
//   bench_listing [--records N] [--repeat R]     (defaults 1000 and 21)
//
// Prints the median of R requests. Exit 1 when a reply is missing or lacks
// records.
#include <Poco/Logger.h>
#include <Poco/Timestamp.h>
#include <Poco/UUIDGenerator.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "BenchOptions.h"
#include "db/BackupDB.h"
#include "hostapi/Group.h"
#include "hostapi/HostControl.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"

using Orvana::Backup::BackupDB;

namespace {

size_t count(const std::string& doc, const std::string& what) {
    size_t n = 0;
    for (auto p = doc.find(what); p != std::string::npos; p = doc.find(what, p + 1)) ++n;
    return n;
}

// Median milliseconds of `repeat` calls, after one call to warm up.
double medianMs(long repeat, const std::function<void()>& call) {
    call();
    std::vector<double> ms;
    for (long i = 0; i < repeat; ++i) {
        Poco::Timestamp t;
        call();
        ms.push_back(double(t.elapsed()) / 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// Half local, half to another peer in a group, with sizes and times set, as a
// user's list would look.
bool addRecord(BackupDB& db, long i, const std::string& group) {
    int id = 0;
    const std::string n = std::to_string(i);
    const bool local = i % 2 == 0;
    if (!db.addBackupRecord(local ? "me@myhost" : "pal~laptop@far:999", 0, 1,
                            "/home/user/Documents/folder " + n, local ? "/backups/" + n : "",
                            local ? "" : group, 3, -1, -1, id))
        return false;
    return db.setRecordSize(id, 1536 * i) && db.setLastSuccessTime(id, 1767225600000000LL + i) &&
           db.setLastAttemptTime(id, 1767225600000000LL + i);
}

}  // namespace

int main(int argc, char** argv) {
    const Bench::BenchOptions args(argc, argv, {"--records", "--repeat"}, {});
    const long records = args.number("--records", 1000);
    const long repeat = std::max(1L, args.number("--repeat", 21));
    if (args.bad() || records < 1) {
        std::fprintf(stderr, "usage: bench_listing [--records N] [--repeat R]\n");
        return 2;
    }
    Poco::Logger::root().setLevel(Poco::Message::PRIO_ERROR);

    TestSupport::TestProfile profile;
    TestSupport::ServiceHarness harness;
    if (!harness.start()) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }
    const Poco::UUID groupId = Poco::UUIDGenerator::defaultGenerator().createRandom();
    Orvana::HostKit::HostControl::setGroups(
        {boost::shared_ptr<Orvana::Data::Group>(new Orvana::Data::Group(groupId, "Family", {}))});
    const std::string group = groupId.toString();
    BackupDB db("backup");
    if (!db.isValid() || !addRecord(db, 0, group)) {
        std::fprintf(stderr, "database did not open\n");
        return 1;
    }
    bool ok = true;
    auto listing = [&](size_t expected) {
        return [&harness, &ok, expected]() {
            const std::string doc = harness.request("getallbackuprecs");
            if (count(doc, "<backuprec>") != expected) {
                std::fprintf(stderr, "reply has %zu records, expected %zu: %.200s\n",
                             count(doc, "<backuprec>"), expected, doc.c_str());
                ok = false;
            }
        };
    };
    const double one = medianMs(repeat, listing(1));
    for (long i = 1; i < records; ++i) {
        if (!addRecord(db, i, group)) {
            std::fprintf(stderr, "record %ld not added\n", i);
            return 1;
        }
    }
    const double all = medianMs(repeat, listing(size_t(records)));
    const double read = medianMs(repeat, [&db, &ok, records]() {
        std::vector<BackupDB::BackupRecordPtr> recs;
        if (!db.getAllBackupRecords(recs) || long(recs.size()) != records) ok = false;
    });

    std::printf("%-44s %10s %12s %7s %8s\n", "case", "ours ms", "baseline ms", "ratio", "target");
    std::printf("%-44s %10.2f %12.2f %7.1f %8s\n", "listing of N records vs of one record", all,
                one, all / one, "-");
    std::printf("%-44s %10.2f %12.2f %7.1f %8s\n", "listing of N records vs database read", all,
                read, all / read, "-");
    std::printf("%-44s %10.2f %12.2f %7.2f %8s\n", "listing of N records vs 50 ms", all, 50.0,
                all / 50.0, "<=1.0");
    std::printf("N = %ld records, median of %ld requests; %s\n", records, repeat,
                ok ? "every reply complete" : "A REPLY WAS MISSING OR SHORT");
    harness.stop();
    return ok ? 0 : 1;
}
