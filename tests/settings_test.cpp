#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "settings.h"

namespace {

ConfigMap parse(const std::string& text)
{
    std::istringstream in(text);
    return parse_config(in);
}

TEST(ConfigParse, LinesAndTrimming)
{
    struct Case {
        std::string text;
        ConfigMap expected;
    };
    const Case cases[] = {
        {"address=mrv1abc\n", {{"address", "mrv1abc"}}},
        {"address   =   mrv1abc  \n", {{"address", "mrv1abc  "}}}, // value keeps trailing spaces
        {"  address=x\n", {{"  address", "x"}}},                   // key keeps leading spaces
        {"a=1\r\nb=2\r\n", {{"a", "1"}, {"b", "2"}}},               // CR-LF reads like LF
        {"a=1\r\r\n", {{"a", "1\r"}}},                              // only one CR goes
        {"\r\n\n#x=1\n #y=2\n", {{" #y", "2"}}},                    // only column 0 comments
        {"no equals sign\n=v\n", {{"", "v"}}},
        {"k=a=b\n", {{"k", "a=b"}}},                                // split at the first "="
        {"k\t=\tv\n", {{"k\t", "\tv"}}},                            // tabs are never trimmed
        {"k=\"q\"\n", {{"k", "\"q\""}}},                            // no quoting
        {"k=1\nk=2\n", {{"k", "2"}}},                               // the later value wins
        {"last=no newline", {{"last", "no newline"}}},
        {std::string("n=a\0b\n", 6), {{"n", std::string("a\0b", 3)}}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse(c.text), c.expected);
    }
}

TEST(ConfigApply, KeysOverDefaults)
{
    RunSettings s;
    apply_config(parse("rpc_url=http://node:1\nrpc_user=\nrpc_password=pw\naddress=A\n"
                       "coinbase=hello\ndevice= 2x\nblocks=-5\nthreads=abc\nbenchmark=1\n"
                       "unknown=7\n"),
                 s);
    EXPECT_EQ(s.rpc_url, "http://node:1");
    EXPECT_EQ(s.rpc_user, "") << "a present key replaces the default even when empty";
    EXPECT_EQ(s.rpc_password, "pw");
    EXPECT_EQ(s.address, "A");
    EXPECT_EQ(s.coinbase, "hello");
    EXPECT_EQ(s.device, "2x");
    EXPECT_EQ(s.blocks, -5);
    EXPECT_EQ(s.threads, 0);
    EXPECT_TRUE(s.benchmark);

    RunSettings t;
    t.benchmark = true;
    apply_config(parse("benchmark=true\n"), t);
    EXPECT_FALSE(t.benchmark) << "only \"1\" turns it on";

    RunSettings d;
    apply_config(parse(""), d);
    EXPECT_EQ(d.rpc_url, "http://127.0.0.1:8899");
    EXPECT_EQ(d.rpc_user, "rpcuser");
    EXPECT_EQ(d.threads, 256);
}

OptionResult run_options(std::vector<std::string> args, RunSettings& s)
{
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return apply_options(static_cast<int>(args.size()), argv.data(), s);
}

TEST(Options, ValuesAndFlags)
{
    RunSettings s;
    const OptionResult r = run_options({"miner", "-o", "http://x", "-u", "u", "-p", "-dash", "-a",
                                        "A", "-a", "B", "-d", "1", "-B", "-1", "-T", "64",
                                        "--cli", "--benchmark", "-c", "f.conf"},
                                       s);
    EXPECT_EQ(r.status, OptionStatus::run);
    EXPECT_EQ(s.rpc_url, "http://x");
    EXPECT_EQ(s.rpc_password, "-dash") << "a value is taken whatever it looks like";
    EXPECT_EQ(s.address, "B") << "a repeated option overrides";
    EXPECT_EQ(s.device, "1");
    EXPECT_EQ(s.blocks, -1);
    EXPECT_EQ(s.threads, 64);
    EXPECT_TRUE(s.benchmark);
}

// Several URLs: -o again adds one, the configuration's url lines keep
// their order, the command line's list replaces the configuration's.
TEST(Options, UrlsInOrderFromEitherPlace)
{
    struct Case {
        std::string config;
        std::vector<std::string> args;
        std::vector<std::string> urls;
    };
    const Case cases[] = {
        {"", {"m"}, {"http://127.0.0.1:8899"}},
        {"rpc_url=http://n:1\n", {"m"}, {"http://n:1"}},
        {"", {"m", "-o", "stratum+tcp://a:1", "-o", "http://b:2"}, {"stratum+tcp://a:1", "http://b:2"}},
        {"url=stratum+tcp://a:1\nurl = stratum+ssl://b:2\nurl=\n", {"m"},
         {"stratum+tcp://a:1", "stratum+ssl://b:2"}},
        {"url=stratum+tcp://a:1\nurl=stratum+tcp://b:2\n", {"m", "-o", "http://c:3"}, {"http://c:3"}},
        {"rpc_url=http://n:1\nurl=stratum+tcp://a:1\n", {"m"}, {"stratum+tcp://a:1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        RunSettings s;
        apply_config(parse(c.config), s);
        run_options(c.args, s);
        EXPECT_EQ(work_urls(s), c.urls);
    }

    RunSettings s;
    apply_config(parse("pool_ca=/etc/a.pem\n"), s);
    EXPECT_EQ(s.pool_ca, "/etc/a.pem");
    run_options({"m", "--pool-ca", "/b.pem"}, s);
    EXPECT_EQ(s.pool_ca, "/b.pem");
}

TEST(Options, OnlyANodeNeedsAnAddress)
{
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"http://n:1"}, true},
        {{"stratum+tcp://p:1"}, false},
        {{"stratum+ssl://p:1", "stratum+tcp://q:2"}, false},
        {{"stratum+tcp://p:1", "http://n:1"}, true},
        {{"stratum://p:1"}, true}, // no such scheme: taken for a node's URL
        {{"STRATUM+TCP://p:1"}, true},
    };
    for (const auto& c : cases) {
        RunSettings s;
        s.urls = c.first;
        EXPECT_EQ(needs_address(s), c.second) << c.first.front();
    }
}

TEST(Options, StopsAtHelpOrUnknown)
{
    const std::pair<std::vector<std::string>, OptionResult> cases[] = {
        {{"m", "--help", "--bogus"}, {OptionStatus::help, "--help"}},
        {{"m", "--bogus", "-h"}, {OptionStatus::unknown, "--bogus"}},
        {{"m", "-o"}, {OptionStatus::unknown, "-o"}},
        {{"m", "-a", "x", "-c"}, {OptionStatus::unknown, "-c"}},
        {{"m", "-"}, {OptionStatus::unknown, "-"}},
    };
    for (const auto& c : cases) {
        RunSettings s;
        const OptionResult r = run_options(c.first, s);
        EXPECT_EQ(r.status, c.second.status) << c.first[1];
        EXPECT_EQ(r.argument, c.second.argument);
    }
}

// The rig options' values: each accepted form and each refusal, with why.
TEST(RigOptions, ValuesAreCheckedWhereTheyAreRead)
{
    const std::string limit_why = "the limit must be whole degrees C from 50 to 110, or 0 for none";
    const struct {
        const char* text;
        int32_t degrees; // -1: refused
    } limits[] = {
        {"80", 80}, {"50", 50}, {"110", 110}, {"0", 0}, {"3", -1}, {"49", -1}, {"111", -1},
        {"eighty", -1}, {"", -1}, {"-80", -1}, {"80C", -1}, {" 80", -1}, {"80.5", -1},
        {"4294967376", -1}, // 80 after a narrowing to 32 bits
    };
    for (const auto& l : limits) {
        int32_t degrees = 77;
        const std::string why = check_temp_limit(l.text, degrees);
        EXPECT_EQ(why, l.degrees < 0 ? limit_why : "") << l.text;
        EXPECT_EQ(degrees, l.degrees < 0 ? 77 : l.degrees) << l.text;
    }
    const std::string api_why = "expected HOST:PORT, such as 127.0.0.1:4068";
    const std::pair<const char*, bool> apis[] = {
        {"127.0.0.1:4068", true}, {"0.0.0.0:1", true}, {"localhost:65535", true}, {"[::1]:4068", true},
        {"", true}, {"4068", false}, {":4068", false}, {"127.0.0.1:", false}, {"127.0.0.1:0", false},
        {"127.0.0.1:65536", false}, {"127.0.0.1:40x", false}, {"::1:4068", false}, {"[]:80", false},
        {"host name:80", false}, {"http://127.0.0.1:4068", false},
    };
    for (const auto& a : apis) EXPECT_EQ(check_api_address(a.first), a.second ? "" : api_why) << a.first;
    const std::string zmq_why = "expected tcp://HOST:PORT, such as tcp://127.0.0.1:28332";
    const std::pair<const char*, bool> zmqs[] = {
        {"tcp://127.0.0.1:28332", true}, {"tcp://[::1]:28332", true}, {"ipc:///run/node.sock", true},
        {"", true}, {"127.0.0.1:28332", false}, {"tcp://127.0.0.1", false}, {"tcp://:1", false},
        {"http://127.0.0.1:28332", false}, {"ipc://", false}, {"tcp://127.0.0.1:0", false},
    };
    for (const auto& z : zmqs) EXPECT_EQ(check_zmq_url(z.first), z.second ? "" : zmq_why) << z.first;
}

// A refused value is kept as an error with the value as the user gave it;
// a later good value of the same option (the command line over the file)
// takes its place.
TEST(RigOptions, RefusedValuesNameWhereTheyCameFrom)
{
    RunSettings s;
    s.config_path = "rig.conf";
    apply_config(parse("temp_limit=eighty\napi=nowhere\nzmq=tcp://127.0.0.1:28332\n"), s);
    EXPECT_EQ(s.temp_limit, 0);
    EXPECT_EQ(s.zmq, "tcp://127.0.0.1:28332");
    EXPECT_EQ(s.refused.size(), 2u);
    EXPECT_EQ(s.refused["temp_limit"],
              "temp_limit=eighty in rig.conf: the limit must be whole degrees C from 50 to 110, or 0 "
              "for none");
    EXPECT_EQ(s.refused["api"], "api=nowhere in rig.conf: expected HOST:PORT, such as 127.0.0.1:4068");

    EXPECT_EQ(run_options({"m", "--temp-limit", "85", "--zmq", "28332"}, s).status, OptionStatus::run);
    EXPECT_EQ(s.temp_limit, 85);
    EXPECT_EQ(s.refused.count("temp_limit"), 0u) << "the command line's good value wins";
    EXPECT_EQ(s.refused["zmq"], "--zmq 28332: expected tcp://HOST:PORT, such as tcp://127.0.0.1:28332");
    EXPECT_EQ(s.zmq, "tcp://127.0.0.1:28332") << "a refused value changes nothing";
    EXPECT_EQ(run_options({"m", "--api"}, s).status, OptionStatus::unknown) << "a value is still needed";
}

TEST(Options, FirstPassTakesTheLastConfigFile)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"m"}, ""},
        {{"m", "-c", "a.conf", "-c", "b.conf"}, "b.conf"},
        {{"m", "-c", "a.conf", "-c"}, "a.conf"}, // a trailing -c names nothing
        {{"m", "-c", "-c", "x"}, "-c"},          // the value is skipped, whatever it is
        {{"m", "-a", "-c", "x"}, "x"},           // values of other options are not known here
    };
    for (auto c : cases) {
        std::vector<char*> argv;
        for (std::string& a : c.first) argv.push_back(&a[0]);
        EXPECT_EQ(config_path_from_args(static_cast<int>(argv.size()), argv.data()), c.second);
    }
}

} // namespace

TEST(DeviceChoice, OneOrdinalAListOrAll)
{
    struct Case {
        const char* text;
        int32_t count;
        std::vector<int32_t> ordinals;
        const char* error;
    };
    const char* const bad = "give one device number, numbers separated by commas, or all";
    const Case cases[] = {
        // One ordinal is read as it always was: strtol, so "2x" is 2 and "x" is 0.
        {"0", 1, {0}, ""},
        {"2x", 4, {2}, ""},
        {"x", 2, {0}, ""},
        {" 1", 2, {1}, ""},
        {"", 1, {0}, ""},
        {"1", 1, {}, "device 1 not found (1 available)"},
        {"-1", 3, {}, "device -1 not found (3 available)"},
        {"4294967296", 2, {0}, ""}, // narrowed to 32 bits as before
        {"all", 3, {0, 1, 2}, ""},
        {"all", 1, {0}, ""},
        {"0,2,3", 4, {0, 2, 3}, ""},
        {"3,0", 4, {3, 0}, ""},
        {"0,1", 2, {0, 1}, ""},
        {"0,4", 4, {}, "device 4 not found (4 available)"},
        {"1,1", 2, {}, "device 1 is listed twice in \"1,1\""},
        {"0,00", 2, {}, "device 0 is listed twice in \"0,00\""},
        {"0,", 2, {}, bad},
        {",1", 2, {}, bad},
        {"0,,1", 2, {}, bad},
        {"0, 1", 2, {}, bad},
        {"0,-1", 2, {}, bad},
        {"0,1x", 2, {}, bad},
        {"0,9999999999", 2, {}, bad},
        {"ALL", 2, {0}, ""}, // not a list: a single ordinal, read as 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const DeviceChoice choice = choose_devices(c.text, c.count);
        EXPECT_EQ(choice.ordinals, c.ordinals);
        if (c.error == bad) {
            EXPECT_EQ(choice.error, std::string("bad device list \"") + c.text + "\" (" + bad + ")");
        } else {
            EXPECT_EQ(choice.error, c.error);
        }
    }
}
