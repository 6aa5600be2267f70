#!/usr/bin/env python3
"""The installed headers as a program outside the tree sees them: installs the
build into a fresh prefix, then compiles every installed header on its own
with that prefix's include folder alone, from a project that has headers of
its own named like the library's (platform/Strings.h, engine/HttpEng.h). A
header that needs a private one, or that reaches a program's file instead of
its sibling, fails to compile. Then find_package asks for components, one of
them missing, which must be named in the error."""
import os
import subprocess
import sys
import tempfile

build, compiler = sys.argv[1], sys.argv[2]
with tempfile.TemporaryDirectory() as folder:
    prefix = os.path.join(folder, "prefix")
    subprocess.run(["cmake", "--install", build, "--prefix", prefix],
                   check=True, stdout=subprocess.DEVNULL)
    project = os.path.join(folder, "project")
    for name in ("platform/Strings.h", "engine/HttpEng.h", "gateways/cgi/CgiSEng.h"):
        path = os.path.join(project, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write('#error "a header of the program stood in for one of the library"\n')
    include = os.path.join(prefix, "include")
    headers = sorted(os.path.relpath(os.path.join(root, f), include)
                     for root, _, files in os.walk(include) for f in files if f.endswith(".h"))
    if not headers:
        sys.exit("no headers installed under " + include)
    failed = []
    for header in headers:
        source = os.path.join(project, "one.cpp")
        with open(source, "w") as f:
            f.write('#include "%s"\n' % header)
        result = subprocess.run([compiler, "-std=c++20", "-fsyntax-only", "-I" + project,
                                 "-I" + include, source], capture_output=True, text=True)
        if result.returncode != 0:
            failed.append(header + ":\n" + result.stderr[:2000])
    for private in ("pithorama/engine/multipart/MultipartRing.h",
                    "pithorama/gateways/resident/RequestFile.h",
                    "pithorama/gateways/resident/QueueEntry.h",
                    "pithorama/platform/posix/SocketWatch.h"):
        if private in headers:
            failed.append(private + " is private and must not be installed")
    print("%d headers compiled on their own" % len(headers))
    for components, missing in (("gateways mail", None), ("gateways nosuch", "nosuch")):
        user = os.path.join(folder, "user-" + components.replace(" ", "-"))
        os.makedirs(user)
        with open(os.path.join(user, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.25)\nproject(user LANGUAGES CXX)\n"
                    "find_package(pithorama CONFIG REQUIRED COMPONENTS %s)\n" % components)
        result = subprocess.run(["cmake", "-S", user, "-B", os.path.join(user, "build"),
                                 "-DCMAKE_PREFIX_PATH=" + prefix], capture_output=True, text=True)
        if missing is None and result.returncode != 0:
            failed.append("find_package with " + components + ":\n" + result.stderr[-2000:])
        if missing is not None and ('component "%s"' % missing not in result.stderr
                                    or result.returncode == 0):
            failed.append("a missing component is not named:\n" + result.stderr[-2000:])
    if failed:
        sys.exit("\n".join(failed))
