#!/usr/bin/env bash
# Installs the NuGet package from a local feed into a fresh test project, as a
# .NET user would, compiles the project's test against the package's assembly and
# runs it with Mono, the package's native library beside it (what the package's
# build/<id>.targets copies there in an MSBuild project).
# Usage: run-csharp-package-test.sh <nuget> <mcs> <mono> <package.nupkg> <id> <version>
#                                   <runtime id> <work directory> <test source>
set -euo pipefail
nuget=$1 mcs=$2 mono=$3 package=$4 id=$5 version=$6 rid=$7 work=$8 test=$9

rm -rf "$work"
mkdir -p "$work/feed" "$work/project"
cp "$package" "$work/feed/"
# No cache and no other source: the package comes from the local feed only.
HOME="$work" "$nuget" install "$id" -Version "$version" -Source "$work/feed" \
  -OutputDirectory "$work/packages" -NoCache -NonInteractive >"$work/install.log"
installed="$work/packages/$id.$version"
cp "$installed/lib/net45/"* "$installed/runtimes/$rid/native/"* "$work/project/"
"$mcs" -warnaserror -r:"$work/project/MerloxCards.dll" -out:"$work/project/CardTest.exe" "$test"
cd "$work/project"
LD_LIBRARY_PATH="$work/project" exec "$mono" CardTest.exe
