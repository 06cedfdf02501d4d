// Version and build information of the library, fixed when it is built.
#pragma once

namespace appversion {
const char* getVersion();         // release number, "2.0.0.0"
const char* getExactVersion();    // release number and short git hash
const char* getGitHash();         // full commit hash of the build
const char* getGitHash8();        // its first eight characters
const char* getGitBranch();
const char* getGitTag();          // empty when the commit carries no tag
const char* getBuildDateTime();   // UTC, "YYYY-MM-DD HH:MM:SS"
const char* getBuildInfo();       // target, compiler and build type
const char* getCompleteVersion(); // exact version, build date and time, "REL", build info
}  // namespace appversion
