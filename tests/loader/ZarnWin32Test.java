package com.zarn.kelda.dravik.common.win32;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.io.StringReader;
import java.lang.reflect.Proxy;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.channels.FileLock;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystem;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashSet;
import java.util.EnumSet;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.jar.Attributes;
import java.util.jar.JarFile;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * The loader on the host's JVM with the self-contained jar: which library it takes, how it copies,
 * reuses and replaces the cached file, with threads and processes at once. Only System.load
 * is replaced, by a stand-in that records the file, the hash it has at that moment and whether
 * this process holds it open then.
 *
 *   ZarnWin32Test JAR X86_DLL X64_DLL VERSION WORK_DIR STAND_IN_JAR   all checks
 *   ZarnWin32Test load [set:NAME=VALUE]...               (child) load(), print what was loaded
 *   ZarnWin32Test fail [set:NAME=VALUE]... TEXT...       (child) load() fails with every TEXT in its message
 *   ZarnWin32Test lock FILE                              (child) lock FILE whole, print "locked", keep it until the input ends
 *   ZarnWin32Test classloaders JAR                       (child) ZarnWin32.load() of JAR in two class loaders,
 *                                                        with the JVM's own System.load; print loadedFile() of each
 * STAND_IN_JAR is the jar with a Linux shared library in place of the host's DLL, which really loads.
 * set: sets a system property in the child (\\uXXXX escapes allowed), where the command line cannot carry it.
 */
public class ZarnWin32Test {
    private static int failures;

    private static void check(boolean condition, String what) {
        failures += condition ? 0 : 1;
        System.out.println((condition ? "ok: " : "FAIL: ") + what);
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("classloaders")) {
            for (int i = 0; i < 2; i++) {
                // No parent but the bootstrap loader: each has classes of its own, as two deployments do.
                Class<?> loader = Class.forName(ZarnWin32.class.getName(), true, new URLClassLoader(new URL[] {new URL("file:" + args[1])}, null));
                loader.getMethod("load").invoke(null);
                System.out.println(loader.getMethod("loadedFile").invoke(null));
            }
            System.exit(0);
        }
        if (args[0].equals("lock")) {
            try (RandomAccessFile file = new RandomAccessFile(args[1], "rw"); FileLock lock = file.getChannel().lock()) {
                System.out.println(lock.isShared() ? "shared" : "locked");
                System.in.read();
            }
            System.exit(0);
        }
        if (args[0].equals("load") || args[0].equals("fail")) {
            int texts = 1;
            for (; texts < args.length && args[texts].startsWith("set:"); texts++) {
                Properties set = new Properties();
                set.load(new StringReader(args[texts].substring(4)));
                System.getProperties().putAll(set);
            }
            Recorder recorder = new Recorder();
            try {
                new ZarnWin32(recorder).loadOnce();
            } catch (UnsatisfiedLinkError e) {
                System.out.println(e.getMessage());
                for (String text : Arrays.copyOfRange(args, texts, args.length)) {
                    check(e.getMessage().contains(text), "the message says: " + text);
                }
                check(e.getSuppressed().length == e.getMessage().split("\n\\d\\. ").length - 1, "one suppressed exception per attempt");
                System.exit(args[0].equals("fail") && failures == 0 ? 0 : 1);
            }
            System.out.println(String.join("\n", recorder.loads));
            System.exit(args[0].equals("load") ? 0 : 1);
        }

        byte[] x86 = Files.readAllBytes(Paths.get(args[1]));
        byte[] x64 = Files.readAllBytes(Paths.get(args[2]));
        String version = args[3];
        Path caches = Paths.get(args[4]).toAbsolutePath().resolve("caches");

        try (JarFile jar = new JarFile(args[0])) {
            Attributes manifest = jar.getManifest().getMainAttributes();
            check(ZarnWin32.version().equals(version) && version.equals(manifest.getValue("Implementation-Version"))
                    && "zarnwin32".equals(manifest.getValue("Implementation-Title"))
                    && "com.zarn.kelda.dravik.common".equals(manifest.getValue("Automatic-Module-Name")),
                    "version() and the manifest say zarnwin32 " + version + ", module com.zarn.kelda.dravik.common");
        }
        check(Arrays.toString(Held.noSharing("Windows 10")).equals("[READ, NOSHARE_WRITE, NOSHARE_DELETE, NOFOLLOW_LINKS]")
                && Held.noSharing("Linux") == null,
                "on Windows a checked file is opened without write and delete sharing; elsewhere it is share-locked");

        String[][] arches = {{"x86", "i386", "i486", "i586", "i686"}, {"amd64", "x86_64"}, {"aarch64", "arm", "i786", "", "AMD64"}};
        String[] folders = {"win32-x86", "win32-x86-64", null};
        for (int i = 0; i < arches.length; i++) {
            for (String arch : arches[i]) {
                check(String.valueOf(folders[i]).equals(String.valueOf(ZarnWin32.folderFor(arch))), "os.arch \"" + arch + "\" -> " + folders[i]);
            }
        }

        // The copy: the jar's bytes for the JVM's os.arch, in <cache>/<version>/<folder>/, named by
        // their hash, in folders that only the user may enter.
        String hostFolder = ZarnWin32.folderFor(System.getProperty("os.arch"));
        byte[] hostDll = hostFolder.equals("win32-x86") ? x86 : x64;
        String hostName = "zarnwin32-" + sha256(hostDll).substring(0, 16) + ".dll";
        Path cache = caches.resolve("one");
        Path hostFile = cache.resolve(version).resolve(hostFolder).resolve(hostName);
        check(load(cache).equals(Arrays.asList(hostFile + " " + sha256(hostDll) + " held"))
                && Stream.of(caches, cache, cache.resolve(version), hostFile.getParent()).allMatch(d -> permissions(d).equals("rwx------")),
                "the host's library copied to " + cache.relativize(hostFile) + ", held while loaded, in folders of mode 0700");
        check((cache.resolve(version).resolve("win32-x86").resolve("zarnwin32-" + sha256(x86).substring(0, 16) + ".dll") + " " + sha256(x86) + " held")
                .equals(output(child(cache, "load", "-Dos.arch=x86"))), "os.arch x86: the jar's win32-x86 library");

        // Reuse: a copy whose hash matches is not written again.
        FileTime old = FileTime.fromMillis(1000000000000L);
        Files.setLastModifiedTime(hostFile, old);
        Object identity = Files.readAttributes(hostFile, BasicFileAttributes.class).fileKey();
        // System.load, which another program's open of the new file fails for a moment, is tried again; any other failure (a policy
        // block, the wrong architecture) is the same each time: not tried again.
        int[] calls = new int[1];
        Recorder busy = new Recorder() {
            @Override
            public void load(String path) {
                if (++calls[0] != 3) {
                    throw new UnsatisfiedLinkError(path + (calls[0] < 3 ? ": The process cannot access the file because it is being used by another process"
                            : ": This program is blocked by group policy"));
                }
                super.load(path);
            }
        };
        new ZarnWin32(busy).loadOnce();
        long blockStart = System.nanoTime();
        String block = failure(() -> new ZarnWin32(busy).loadOnce());
        check(load(cache).size() == 1 && Files.getLastModifiedTime(hostFile).equals(old)
                && Files.readAttributes(hostFile, BasicFileAttributes.class).fileKey().equals(identity) && busy.loads.size() == 1
                && String.valueOf(block).contains("blocked by group policy") && calls[0] == 4 && System.nanoTime() - blockStart < 500_000_000,
                "a matching copy is reused, not rewritten; a System.load that fails for a moment is tried again, a blocked one is not");

        // Loaders of their own (as class loaders have) copying into an empty cache at once. Not
        // always held here: a process's POSIX locks on a file go when any of its handles to it
        // closes, as one does that found the file locked by another thread. Windows' locks are
        // the handle's own.
        Path threadCache = caches.resolve("threads");
        System.setProperty(ZarnWin32.CACHE_PROPERTY, threadCache.toString());
        Recorder together = new Recorder();
        List<Throwable> errors = runAtOnce(8, () -> new ZarnWin32(together).loadOnce());
        check(errors.isEmpty() && together.loads.size() == 8 && new HashSet<>(together.loads.stream().map(l -> l.replace(" held", "")).collect(Collectors.toList()))
                        .equals(Collections.singleton(threadCache.resolve(cache.relativize(hostFile)) + " " + sha256(hostDll))),
                "8 loaders at once all load the one verified copy " + together.loads + errors);

        // load(): a cached copy with one byte changed must be replaced before it is loaded. 8
        // threads call load() at once, then one more call: one load, of the right bytes.
        byte[] tampered = hostDll.clone();
        tampered[tampered.length / 2] ^= 1;
        Files.write(hostFile, tampered);
        System.setProperty(ZarnWin32.CACHE_PROPERTY, cache.toString());
        Recorder recorder = new Recorder();
        ZarnWin32 loader = new ZarnWin32(recorder);
        errors = runAtOnce(8, loader::loadOnce);
        loader.loadOnce();
        check(errors.isEmpty() && recorder.loads.equals(Arrays.asList(hostFile + " " + sha256(hostDll) + " held")),
                "a tampered copy is replaced; 8 threads and one more call load it once, held open " + recorder.loads + errors);

        // Two JVMs loading from one empty cache at once, a different library on java.library.path.
        Path work = Paths.get(args[4]).toAbsolutePath();
        String libraryName = System.mapLibraryName("zarnwin32");
        Path other = Files.write(Files.createDirectories(work.resolve("path-other")).resolve(libraryName), tampered);
        Path same = Files.write(Files.createDirectories(work.resolve("path-same")).resolve(libraryName), hostDll);
        Path processCache = caches.resolve("processes");
        Process first = child(processCache, "load", "-Djava.library.path=" + other.getParent());
        Process second = child(processCache, "load", "-Djava.library.path=" + other.getParent());
        // Held, unless the other JVM's rename put its own copy in place between the open and the load:
        // Linux renames over an open file, Windows refuses while it is held without delete sharing.
        String copy = processCache.resolve(cache.relativize(hostFile)) + " " + sha256(hostDll);
        List<String> both = Arrays.asList(output(first), output(second));
        check(both.stream().allMatch(out -> (copy + " held").equals(out) || copy.equals(out)),
                "two JVMs at once each load the verified copy, not the different one on java.library.path");
        // An identical library on java.library.path is loaded in place of a copy; one that differs is passed over.
        check((same + " " + sha256(hostDll) + " held").equals(output(child(caches.resolve("same"), "load",
                        "-Djava.library.path=" + other.getParent() + File.pathSeparator + same.getParent())))
                        && !Files.exists(caches.resolve("same")), "the identical library on java.library.path is loaded, held open");
        // A JVM on Windows without the module jdk.unsupported (a modular application, a jlink runtime) still holds the file.
        check(output(child(caches.resolve("limited"), "load", "--limit-modules=java.base", "-Dos.name=Windows 10")).endsWith(sha256(hostDll) + " held"),
                "without jdk.unsupported the checked file is still held, share-locked");
        // zarnwin32.library: that file, made absolute, and nothing else, not even when it fails.
        Path here = Paths.get("").toAbsolutePath();
        check((other + " " + sha256(tampered)).equals(output(child(caches.resolve("named"), "load",
                        "-Dzarnwin32.library=" + here.relativize(other), "-Djava.library.path=" + same.getParent()))),
                "-Dzarnwin32.library=<relative path> loads that file by its absolute path");
        String text = output(child(caches.resolve("named"), "fail", "-Dzarnwin32.library=missing.dll",
                "-Djava.library.path=" + same.getParent(), "1. -Dzarnwin32.library=missing.dll: Can't load library: " + here.resolve("missing.dll")));
        check(text != null && !text.contains("\n2.") && !Files.exists(caches.resolve("named")), "a missing zarnwin32.library file: nothing else tried");
        // zarnwin32.text: a value but ansi or unicode fails the load before anything is tried.
        check(output(child(caches.resolve("text"), "fail", "-Dzarnwin32.text=Unicode",
                "The system property zarnwin32.text is \"Unicode\": it must be ansi or unicode")) != null
                && !Files.exists(caches.resolve("text")), "a misspelt zarnwin32.text fails the load, naming the property and its values");
        // The cache folder must be absolute: a relative one would depend on where the JVM starts.
        check(output(child(here.relativize(caches.resolve("relative")), "fail", "is not an absolute path; start the JVM with -Dzarnwin32.cache=")) != null
                && !Files.exists(caches.resolve("relative")), "a relative cache folder fails, naming -Dzarnwin32.cache");
        // A cache folder the JVM cannot name (sun.jnu.encoding follows the locale): failed at once.
        String cyrillic = "set:zarnwin32.cache=" + caches + "/\\u0414\\u043c\\u0438\\u0442\\u0440\\u0438\\u0439";
        check(output(child(caches, "fail", "LC_ALL=C", cyrillic, "2. the jar's " + hostFolder + "/zarnwin32.dll from the cache: the cache folder's path "
                        + caches + "/", "sun.jnu.encoding (ANSI_X3.4-1968)", "-Dzarnwin32.cache=")) != null
                        && output(child(caches, "load", "LC_ALL=C.UTF-8", cyrillic)).startsWith(caches + "/\u0414\u043c\u0438\u0442\u0440\u0438\u0439/"),
                "a cache path outside sun.jnu.encoding fails at once, naming the cause; the same path in UTF-8 loads");
        // The JDK on Linux refuses such a path by itself; a JVM on Windows up to Java 16 takes it and
        // fails only in System.load. The loader's own check, of the real path behind a link, with
        // the JVM's file names in UTF-8:
        Path ascii = Files.createSymbolicLink(caches.resolve("ascii"), caches.resolve("\u0414\u043c\u0438\u0442\u0440\u0438\u0439"));
        check(output(child(ascii, "fail", "LC_ALL=C.UTF-8", "set:sun.jnu.encoding=US-ASCII", "path " + caches + "/\u0414", "sun.jnu.encoding (US-ASCII)")) != null,
                "the loader checks the cache's real path against sun.jnu.encoding itself");

        // Every JDK on Windows hands System.load the path as bytes of sun.jnu.encoding, Java 17 and later too. A runtime
        // without jdk.security.auth (--limit-modules java.base, as jlink makes) still finds this process's account.
        Path data = caches.resolve("data");
        String[] windows = {"--limit-modules=java.base", "LC_ALL=C.UTF-8", "set:sun.jnu.encoding=US-ASCII", "set:os.name=Windows 10", "ProgramData=" + data};
        check(output(child(ascii, "fail", concat(windows, "set:java.class.version=61.0", "sun.jnu.encoding (US-ASCII)"))) != null
                        && String.valueOf(output(child(caches.resolve("windows"), "load", windows))).startsWith(caches.resolve("windows") + "/" + version)
                        && output(child(ascii, "fail", concat(windows, "set:zarnwin32.cache=" + caches + "/a\\u0000b", "(from -Dzarnwin32.cache) is not a path that"
                                + " Windows allows: Nul character not allowed"))) != null,
                "os.name Windows: Java 17 refuses a -D path outside sun.jnu.encoding, not replaced; no jdk.security.auth; Java's refusal named");
        // Not named by the user, such a path gives way to %ProgramData%\\zarnwin32-<hash of the account>, this account's alone.
        Path fallback = data.resolve("zarnwin32-" + sha256("root".getBytes(StandardCharsets.UTF_8)).substring(0, 8));
        String[] cyrillicHome = concat(windows, "set:user.home=" + caches + "/\\u0414");
        check(String.valueOf(output(child(null, "load", cyrillicHome))).startsWith(fallback + "/" + version + "/" + hostFolder + "/")
                        && permissions(fallback).equals("rwx------"), "a home whose path cannot be encoded: the cache in " + caches.relativize(fallback));
        Files.setOwner(fallback, fallback.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName("nobody"));
        check(output(child(null, "fail", concat(cyrillicHome, "2. the jar's " + hostFolder + "/zarnwin32.dll from the cache: " + fallback + " belongs to nobody"))) != null,
                "another account's folder in ProgramData is refused, naming it");

        // A JVM for another architecture, or a thin jar without the JVM's: System.loadLibrary, and the error says what was tried, in order.
        Path thin = Files.copy(Paths.get(args[0]), work.resolve("thin.jar"));
        try (FileSystem jar = FileSystems.newFileSystem(thin, (ClassLoader) null)) {
            Files.delete(jar.getPath(hostFolder, "zarnwin32.dll"));
        }
        String classes = System.getProperty("java.class.path").split(File.pathSeparator)[0];
        String arch = System.getProperty("os.arch");
        check(output(child(caches.resolve("arm"), "fail", "-Dos.arch=aarch64",
                        "zarnwin32 could not be loaded. Tried, in order:\n1. System.loadLibrary(\"zarnwin32\"), as this jar has no library "
                                + "for os.arch \"aarch64\" (it carries win32-x86, win32-x86-64): no zarnwin32 in java.library.path")) != null
                        && output(child(caches.resolve("thin"), "fail", "--class-path=" + classes + File.pathSeparator + thin, "1. System.loadLibrary(\"zarnwin32\"), "
                                + "as this jar has no library for os.arch \"" + arch + "\" (it carries win32-x86): no zarnwin32")) != null
                        && !Files.exists(caches.resolve("arm")) && !Files.exists(caches.resolve("thin")),
                "os.arch aarch64, and a jar without " + hostFolder + ": System.loadLibrary, and an UnsatisfiedLinkError naming it");

        // The cache root: -Dzarnwin32.cache before LOCALAPPDATA, which Windows always sets; then %LOCALAPPDATA%\zarnwin32; then ~/.zarnwin32.
        String inCache = "/" + version + "/" + hostFolder + "/" + hostName + " " + sha256(hostDll) + " held";
        Path local = caches.resolve("local");
        Path home = caches.resolve("home");
        check((caches.resolve("named-root") + inCache).equals(output(child(caches.resolve("named-root"), "load", "LOCALAPPDATA=" + local)))
                        && (local + "/zarnwin32" + inCache).equals(output(child(null, "load", "LOCALAPPDATA=" + local, "-Duser.home=" + home)))
                        && (home + "/.zarnwin32" + inCache).equals(output(child(null, "load", "-Duser.home=" + home))),
                "the cache root: -Dzarnwin32.cache over LOCALAPPDATA, LOCALAPPDATA over user.home");

        linksAndCleaning(caches, version, hostFolder, hostName, hostDll);
        windowsDecisions(caches, version, hostFolder);
        // A zarnwin32.dll on java.library.path that others may change, or that another process keeps locked (for 1.27 s at most), is passed over and let go.
        String cached = caches.resolve("passed").resolve(version).resolve(hostFolder).resolve(hostName) + " " + sha256(hostDll) + " held";
        Files.setPosixFilePermissions(same, PosixFilePermissions.fromString("rw-rw-r--"));
        boolean writable = cached.equals(output(child(caches.resolve("passed"), "load", "-Djava.library.path=" + same.getParent())));
        Files.setPosixFilePermissions(same, PosixFilePermissions.fromString("rw-r--r--"));
        Process locker = child(null, "lock", same.toString());
        boolean locked = new java.io.BufferedReader(new java.io.InputStreamReader(locker.getInputStream())).readLine().equals("locked");
        long lockStart = System.nanoTime();
        String lockFailure = failure(() -> Held.open(same).close());
        long lockWait = (System.nanoTime() - lockStart) / 1000000;
        boolean lockFreed = !openHere(same);
        System.setProperty("java.library.path", same.getParent().toString());
        List<String> passed = load(caches.resolve("passed"));
        System.clearProperty("java.library.path");
        locker.getOutputStream().close();
        check(writable && locked && String.valueOf(lockFailure).endsWith("locked by another process or class loader") && lockWait >= 1270 && lockWait < 2500
                        && lockFreed && passed.equals(Arrays.asList(cached)) && locker.waitFor() == 0,
                "a library-path file that the group may write, or that stays locked, is passed over for the cache (" + lockWait + " ms) " + passed);
        // Two class loaders of one JVM, with the JVM's own System.load of a library that really loads.
        byte[] standIn = Files.readAllBytes(work.resolve("stand-in.so"));
        Path onPath = Files.write(Files.createDirectories(work.resolve("path-stand-in")).resolve(libraryName), standIn);
        String copies = caches.resolve("loaders").resolve(version).resolve(hostFolder).resolve("zarnwin32-" + sha256(standIn).substring(0, 16)).toString();
        for (String path : new String[] {work.toString(), onPath.getParent().toString()}) {
            // The paths printed; Java 24 and later also warn of System.load, on the standard error.
            String[] loaded = Arrays.stream(String.valueOf(output(child(caches.resolve("loaders"), "classloaders", "-Djava.library.path=" + path, args[5])))
                    .split("\n")).filter(line -> line.startsWith("/")).toArray(String[]::new);
            check(loaded.length == 2 && loaded[0].equals(path.equals(work.toString()) ? copies + ".dll" : onPath.toString())
                            && loaded[1].matches(Pattern.quote(copies) + "-[0-9a-z]+\\.dll"),
                    "the first class loader loads the " + (path.equals(work.toString()) ? "cached copy" : "copy on java.library.path")
                            + ", a second one a copy of its own " + Arrays.toString(loaded));
        }
        try (Stream<Path> files = Files.walk(caches)) {
            List<Path> left = files.filter(Files::isRegularFile).filter(f -> !f.toString().endsWith(".dll"))
                    .filter(f -> !f.startsWith(caches.resolve("clean"))).collect(Collectors.toList());
            check(left.isEmpty(), "no temporary file left in the caches " + left);
        }
        System.out.println(failures == 0 ? "loader: all checks passed" : "loader: " + failures + " checks failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    /** Links below the cache root, the retry of what scanners cause, and (cleaning) what a load removes. */
    private static void linksAndCleaning(Path caches, String version, String hostFolder, String hostName, byte[] hostDll) throws Exception {
        String verified = " " + sha256(hostDll) + " held";
        // The root may be a link, resolved once. Below it a linked folder fails the load, naming
        // it, and nothing is written through it; a linked copy is replaced by a file of the
        // cache's own, its target left as it was.
        Path real = Files.createDirectories(caches.resolve("real"));
        Path elsewhere = Files.createDirectories(caches.resolve("elsewhere"));
        Path linkedVersion = Files.createSymbolicLink(Files.createDirectories(caches.resolve("linked-version")).resolve(version), elsewhere);
        Path target = Files.write(elsewhere.resolve("target.dll"), hostDll);
        Path linkedCopy = Files.createDirectories(caches.resolve("linked-copy").resolve(version).resolve(hostFolder)).resolve(hostName);
        Files.createSymbolicLink(linkedCopy, target);
        String message = "";
        try {
            load(linkedVersion.getParent());
        } catch (UnsatisfiedLinkError e) {
            message = e.getMessage();
        }
        check(load(Files.createSymbolicLink(caches.resolve("linked-root"), real)).equals(Arrays.asList(real.resolve(version).resolve(hostFolder).resolve(hostName) + verified))
                        && message.contains(linkedVersion + " is a link") && message.contains("-Dzarnwin32.cache=") && Files.list(elsewhere).count() == 1
                        && load(linkedCopy.getParent().getParent().getParent()).equals(Arrays.asList(linkedCopy + verified))
                        && !Files.isSymbolicLink(linkedCopy) && Arrays.equals(Files.readAllBytes(target), hostDll),
                "a linked cache root is resolved; a linked folder below it fails, naming it; a linked copy is replaced");

        // What a scanner causes: access denied twice, then sharing violations, is tried for
        // 1.27 s in all and gives the last failure; a missing file, or a link met without following
        // it (what Java on Windows reports as a plain FileSystemException), is not tried again.
        int[] calls = new int[2];
        long start = System.nanoTime();
        String busy = failure(() -> Held.retried(() -> {
            throw ++calls[0] <= 2 ? new AccessDeniedException("scanned") : new FileSystemException("busy");
        }));
        long waited = (System.nanoTime() - start) / 1000000;
        Held.FileAction<Object> goneThenLinked = () -> {
            throw ++calls[1] == 1 ? new NoSuchFileException("gone") : new FileSystemException(linkedVersion.toString(), null, "File is symbolic link");
        };
        String gone = failure(() -> Held.retried(goneThenLinked));
        String link = failure(() -> Held.retried(goneThenLinked));
        check("busy".equals(busy) && calls[0] == 8 && waited >= 1270 && waited < 2000 && "gone".equals(gone) && link.endsWith("symbolic link") && calls[1] == 2,
                "access denied and sharing violations are tried again for 1.27 s, a missing file and a link are not (" + Arrays.toString(calls) + ", " + waited + " ms)");

        // A root that others may write is refused, unless its sticky bit is set, as /tmp's is.
        Path openRoot = Files.createDirectories(caches.resolve("open-root"));
        new ProcessBuilder("chmod", "777", openRoot.toString()).start().waitFor();
        String openFailure = failure(() -> load(openRoot));
        new ProcessBuilder("chmod", "1777", openRoot.toString()).start().waitFor();
        check(String.valueOf(openFailure).contains(openRoot + " (from -Dzarnwin32.cache) may be written by other accounts and has no sticky bit")
                        && load(openRoot).size() == 1, "a root that all may write is refused, one with the sticky bit serves");

        // A folder below the root that others may write is made this account's alone; one that
        // another account owns is not used, and the error names it and its owner.
        Path shared = caches.resolve("shared");
        Path versionFolder = shared.resolve(version);
        List<String> first = load(shared);
        Files.setPosixFilePermissions(versionFolder, PosixFilePermissions.fromString("rwxrwxrwx"));
        boolean reused = load(shared).equals(first) && permissions(versionFolder).equals("rwx------");
        UserPrincipal nobody = versionFolder.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName("nobody");
        Files.setOwner(versionFolder, nobody);
        Files.setPosixFilePermissions(versionFolder, PosixFilePermissions.fromString("rwxrwxrwx"));
        check(reused && String.valueOf(failure(() -> load(shared))).contains("cache: " + versionFolder + " belongs to nobody, or other accounts than root")
                        && permissions(versionFolder).equals("rwxrwxrwx"),
                "a folder that all may write is made the account's own; one that another account owns is refused, naming it, and left as it is");

        // The loser of a first-start race puts its copy in place without replacing: the winner's,
        // there first, stays, and the loser learns it at once.
        Path winners = caches.resolve("race");
        load(winners);
        Path copy = winners.resolve(version).resolve(hostFolder).resolve(hostName);
        Object winner = Files.readAttributes(copy, BasicFileAttributes.class).fileKey();
        LibraryCache race = LibraryCache.open(version, hostFolder, LibraryCache.Host.REAL);
        long put = System.nanoTime();
        LibraryCache.Content content = new LibraryCache.Content(hostFolder, hostDll);
        String lost = failure(() -> race.write(copy, content, false));
        // Folders that another JVM's cleaning removed after the cache was opened are made again to write.
        Path removed = caches.resolve("removed").resolve(version).resolve(hostFolder);
        System.setProperty(ZarnWin32.CACHE_PROPERTY, caches.resolve("removed").toString());
        LibraryCache emptied = LibraryCache.open(version, hostFolder, LibraryCache.Host.REAL);
        Files.delete(removed);
        Files.delete(removed.getParent());
        emptied.write(removed.resolve(hostName), content, false);
        check(copy.toString().equals(lost) && System.nanoTime() - put < 200_000_000 && winner.equals(Files.readAttributes(copy, BasicFileAttributes.class).fileKey())
                        && Files.list(copy.getParent()).count() == 1 && Files.isRegularFile(removed.resolve(hostName)) && permissions(removed).equals("rwx------"),
                "the loser of a race leaves the winner's copy at once; folders removed meanwhile are made again " + lost);

        // Once a file is held, its folders are checked again up to the root: a root's name re-aimed,
        // or a folder given to another account, after the cache was opened, fails the hold.
        Path aimed = Files.createSymbolicLink(caches.resolve("aimed"), winners);
        System.setProperty(ZarnWin32.CACHE_PROPERTY, aimed.toString());
        LibraryCache opened = LibraryCache.open(version, hostFolder, LibraryCache.Host.REAL);
        Files.delete(aimed);
        Files.createSymbolicLink(aimed, shared);
        String reaimed = failure(() -> LibraryCache.hold(copy, opened).close());
        Files.delete(aimed);
        Files.createSymbolicLink(aimed, winners);
        Files.setOwner(copy.getParent(), nobody);
        check(String.valueOf(reaimed).contains("no longer leads to " + winners)
                        && String.valueOf(failure(() -> LibraryCache.hold(copy, opened).close())).startsWith(copy.getParent() + " belongs to nobody"),
                "after the hold, a re-aimed root or a folder of another account fails, naming it");

        cleaning(caches, version, hostFolder, hostName, verified);
    }

    private static void cleaning(Path caches, String version, String hostFolder, String hostName, String verified) throws Exception {
        // A load from the cache removes the copies of other versions and builds older than a day,
        // class loaders' own copies and temporary files older than a minute, then empty version and
        // architecture folders older than a minute; never the file it loads, however old, nor
        // anything through a link, nor a name of the user's own (a "/" at the end: a folder).
        Path clean = caches.resolve("clean");
        load(clean);
        String dir = version + "/" + hostFolder + "/";
        long minutes = 60000;
        Object[][] files = {
            {"0.9/win32-x86/zarnwin32-0123456789abcdef.dll", 2 * 1440 * minutes, false},
            {"0.9/win32-x86/", 2 * 1440 * minutes, false},
            {"0.9/", 2 * 1440 * minutes, false},
            {"0.7/win32-x86/", 0L, true},
            {"photos/2019/", 2 * 1440 * minutes, true},
            {"empty/", 2 * 1440 * minutes, true},
            {"photos/", 2 * 1440 * minutes, true},
            {"1.2/notes/", 2 * 1440 * minutes, true},
            {"notes.txt", 2 * 1440 * minutes, true},
            {"zarnwin32-probe.tmp", 2 * minutes, false},
            {dir + "zarnwin32-0123456789abcdef.dll", 2 * 1440 * minutes, false},
            {dir + "zarnwin32-fedcba9876543210.dll", 60 * minutes, true},
            {dir + hostName.replace(".dll", "-old.dll"), 2 * minutes, false},
            {dir + hostName.replace(".dll", "-new.dll"), 0L, true},
            {dir + "zarnwin32-old.tmp", 2 * minutes, false},
            {dir + "zarnwin32-new.tmp", 0L, true},
            {dir + "notes.txt", 2 * 1440 * minutes, true},
            {dir + "old/", 2 * 1440 * minutes, true},
            {dir + hostName, 2 * 1440 * minutes, true},
        };
        long now = System.currentTimeMillis();
        Path outside = Files.write(Files.createDirectories(caches.resolve("outside")).resolve("zarnwin32-0123456789abcdef.dll"), new byte[1]);
        Files.setLastModifiedTime(outside, FileTime.fromMillis(0));
        Files.createSymbolicLink(clean.resolve("0.8"), outside.getParent());
        for (Object[] file : files) {
            Path path = clean.resolve((String) file[0]);
            if (((String) file[0]).endsWith("/")) {
                Files.createDirectories(path);
            } else if (!Files.exists(path)) {
                Files.write(Files.createDirectories(path.getParent()).resolve(path.getFileName()), new byte[1]);
            }
        }
        for (Object[] file : files) {
            Files.setLastModifiedTime(clean.resolve((String) file[0]), FileTime.fromMillis(now - (Long) file[1]));
        }
        check(load(clean).equals(Arrays.asList(clean.resolve(dir + hostName) + verified))
                        && Arrays.stream(files).allMatch(file -> Files.exists(clean.resolve((String) file[0]), LinkOption.NOFOLLOW_LINKS) == (Boolean) file[2])
                        && Files.exists(outside),
                "old copies, own copies and temporary files are removed, and old emptied folders; the loaded copy, new files and folders,"
                        + " links and the user's own names stay");
    }

    /** The loader's decisions on Windows' owners and lists, and on a POSIX owner that loads run as root never meet (a trusted one). */
    private static void windowsDecisions(Path caches, String version, String hostFolder) throws Exception {
        UserPrincipal alice = () -> "PC\\alice", bob = () -> "PC\\bob", users = () -> "BUILTIN\\Users", root = () -> "root";
        UserPrincipal system = () -> "NT AUTHORITY\\SYSTEM", admins = () -> "BUILTIN\\Administrators";
        Set<UserPrincipal> trusted = new HashSet<>(Arrays.asList(system, admins, root));
        Set<AclEntryPermission> all = EnumSet.allOf(AclEntryPermission.class);
        List<AclEntry> own = LibraryCache.ownerAcl(alice);
        List<AclEntry> profile = Arrays.asList(ace(system, all), ace(admins, all), own.get(0));
        // owner, its list (null on POSIX), mode, whether a folder: ownOnly, adoptable, othersCannotChange (a library-path file's folder)
        Object[][] rows = {
            {"owner-only", alice, own, -1, true, true, true, true},
            {"SYSTEM and Administrators beside the owner", alice, profile, -1, true, false, true, true},
            {"an inherited entry for Users that may add files", alice, Arrays.asList(own.get(0), ace(users, EnumSet.of(AclEntryPermission.READ_DATA,
                    AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA))), -1, true, false, true, false},
            {"Users may read; CREATOR OWNER's entry only for what is made in it", system, Arrays.asList(ace(users, EnumSet.of(AclEntryPermission.READ_DATA,
                    AclEntryPermission.EXECUTE, AclEntryPermission.READ_ACL)), ace(admins, all), AclEntry.newBuilder(ace(() -> "CREATOR OWNER", all))
                    .setFlags(AclEntryFlag.INHERIT_ONLY, AclEntryFlag.FILE_INHERIT).build()), -1, true, false, true, true},
            {"an empty list", alice, Collections.emptyList(), -1, true, false, true, false},
            {"another owner", bob, own, -1, true, false, false, false},
            {"the elevated user's Administrators owner", admins, own, -1, true, false, true, true},
            {"a file, not a folder", alice, own, -1, false, false, false, true},
            {"a folder of root's (trusted) of mode 0755", root, null, 0755, true, false, false, true},
        };
        for (Object[] row : rows) {
            @SuppressWarnings("unchecked")
            LibraryCache.Facts facts = new LibraryCache.Facts((Boolean) row[4], !(Boolean) row[4], "key", (UserPrincipal) row[1], (List<AclEntry>) row[2], (Integer) row[3]);
            check(LibraryCache.ownOnly(facts, alice) == (Boolean) row[5] && LibraryCache.adoptable(facts, alice, trusted) == (Boolean) row[6]
                    && LibraryCache.othersCannotChange(facts, alice, trusted) == (Boolean) row[7], (row[2] == null ? "POSIX: " : "Windows: ") + row[0]);
        }
        check(!LibraryCache.ownOnly(null, alice) && !LibraryCache.adoptable(null, alice, trusted) && !LibraryCache.othersCannotChange(null, alice, trusted),
                "facts that cannot be read: nothing is this account's, nor trusted");
        Path at = Paths.get("/root");
        LibraryCache.Facts rootFacts = new LibraryCache.Facts(true, false, "key", alice, own, -1);
        check(LibraryCache.leadsToRoot(at, rootFacts, at, "key") && !LibraryCache.leadsToRoot(null, null, at, "key") && !LibraryCache.leadsToRoot(at, null, at, "key")
                        && !LibraryCache.leadsToRoot(at, rootFacts, at, "other") && !LibraryCache.leadsToRoot(Paths.get("/elsewhere"), rootFacts, at, "key"),
                "the root's name leads to it only when its real path and file key are the root's, both readable");

        // The adapter on this machine's JDK: a folder's mode and owner, this process's account; a link is no folder; a missing path is null.
        LibraryCache.Facts real = LibraryCache.Host.REAL.read(caches.resolve("one"));
        LibraryCache.Facts link = LibraryCache.Host.REAL.read(caches.resolve("ascii"));
        check(real != null && real.folder && !real.file && (real.mode & 07777) == 0700 && real.acl == null && real.owner.equals(LibraryCache.Host.REAL.user())
                        && real.owner.equals(Files.getOwner(caches)) && link != null && !link.folder && LibraryCache.Host.REAL.read(caches.resolve("missing")) == null,
                "the adapter reads a folder's mode and owner, the process's account; a link is no folder; a missing path is unreadable");

        // Whole loads on Windows' answers: owners and lists kept per path; the rest has the profile's inherited entries and the token's
        // default owner (creator), the user or, for an elevated run, Administrators. The folders end the user's alone, and both runs share them.
        Map<Path, UserPrincipal> owners = new ConcurrentHashMap<>();
        Map<Path, List<AclEntry>> acls = new ConcurrentHashMap<>();
        UserPrincipal[] creator = {admins};
        LibraryCache.Host windows = new LibraryCache.Host() {
            @Override
            UserPrincipal user() {
                return alice;
            }

            @Override
            Set<UserPrincipal> trusted() {
                return trusted;
            }

            /** A view of the maps; the loader calls its getOwner, setOwner, getAcl and setAcl. */
            @Override
            @SuppressWarnings("unchecked")
            AclFileAttributeView aclView(Path path) {
                return (AclFileAttributeView) Proxy.newProxyInstance(null, new Class<?>[] {AclFileAttributeView.class}, (proxy, method, arguments) -> {
                    String name = method.getName();
                    return name.equals("getOwner") ? owners.getOrDefault(path, creator[0]) : name.equals("getAcl") ? acls.getOrDefault(path, profile)
                            : name.equals("setOwner") ? owners.put(path, (UserPrincipal) arguments[0])
                            : name.equals("setAcl") ? acls.put(path, (List<AclEntry>) arguments[0]) : "acl";
                });
            }
        };
        Path shared = caches.resolve("windows-shared");
        List<String> first = load(shared, windows);
        Path arch = shared.resolve(version).resolve(hostFolder);
        boolean made = Stream.of(shared, shared.resolve(version), arch).allMatch(f -> alice.equals(owners.get(f)) && own.equals(acls.get(f)));
        creator[0] = alice;
        check(first.size() == 1 && first.get(0).startsWith(arch + "/") && made && load(shared, windows).equals(first),
                "an elevated run makes folders owned by the user alone, which a normal run then loads from " + owners.keySet());
        // A hold that fails after its open, as a folder is given away meanwhile, names it and lets the file go.
        LibraryCache opened = LibraryCache.open(version, hostFolder, windows);
        owners.put(arch, bob);
        Path copy = Paths.get(first.get(0).split(" ")[0]);
        check(String.valueOf(failure(() -> LibraryCache.hold(copy, opened).close())).startsWith(arch + " belongs to PC\\bob, or other accounts than PC\\alice")
                        && !openHere(copy), "Windows: a hold that fails as a folder is given to another account lets the file go");
        System.clearProperty(ZarnWin32.CACHE_PROPERTY);
    }

    private static AclEntry ace(UserPrincipal who, Set<AclEntryPermission> permissions) {
        return AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(who).setPermissions(permissions).build();
    }

    /** load() in this JVM with the cache folder and the host given: what the stand-in for System.load recorded. */
    private static List<String> load(Path cache, LibraryCache.Host host) {
        System.setProperty(ZarnWin32.CACHE_PROPERTY, cache.toString());
        Recorder recorder = new Recorder();
        new ZarnWin32(recorder, host).loadOnce();
        return recorder.loads;
    }

    /** Whether this process has the file open (Linux: /proc/self/fd). */
    private static boolean openHere(Path file) throws IOException {
        try (Stream<Path> open = Files.list(Paths.get("/proc/self/fd"))) {
            return open.anyMatch(fd -> file.equals(Held.orElse(() -> Files.readSymbolicLink(fd), null)));
        }
    }

    /** load() in this JVM with the cache folder given: what the stand-in for System.load recorded. */
    private static List<String> load(Path cache) {
        return load(cache, LibraryCache.Host.REAL);
    }

    /** The message of the IOException the action throws; null when it throws none. */
    private static String failure(Action action) throws Exception {
        try {
            action.run();
            return null;
        } catch (IOException | UnsatisfiedLinkError e) {
            return e.getMessage();
        }
    }

    private static String permissions(Path folder) {
        try {
            return PosixFilePermissions.toString(Files.getPosixFilePermissions(folder, LinkOption.NOFOLLOW_LINKS));
        } catch (IOException e) {
            return e.toString();
        }
    }

    /**
     * In place of System.load: refuses what it refuses (a relative path, a missing file), else
     * records "path sha256-of-the-file-then", with " held" when this process has the file open
     * then (Linux: /proc/self/fd) and locked against writes (/proc/locks). System.loadLibrary is
     * the JVM's own: it finds no Linux library.
     */
    private static class Recorder implements ZarnWin32.Linker {
        final List<String> loads = new CopyOnWriteArrayList<>();

        @Override
        public void load(String path) {
            Path file = Paths.get(path);
            if (!file.isAbsolute() || !Files.isRegularFile(file)) {
                throw new UnsatisfiedLinkError((file.isAbsolute() ? "Can't load library: " : "Expecting an absolute path of the library: ") + path);
            }
            try {
                boolean held = openHere(file);
                String pid = new File("/proc/self").getCanonicalFile().getName();
                String inode = ":" + Files.getAttribute(file, "unix:ino") + " ";
                boolean locked = Files.readAllLines(Paths.get("/proc/locks")).stream().anyMatch(l -> l.contains(" READ " + pid + " ") && l.contains(inode));
                loads.add(path + " " + sha256(Files.readAllBytes(file)) + (held && locked ? " held" : ""));
            } catch (Exception e) {
                loads.add(path + " unreadable: " + e);
            }
        }

        @Override
        public void loadLibrary(String name) {
            System.loadLibrary(name);
        }
    }

    private interface Action {
        void run() throws Exception;
    }

    /** Runs the action on several threads released together; gives what they threw. */
    private static List<Throwable> runAtOnce(int threads, Action action) throws InterruptedException {
        CountDownLatch start = new CountDownLatch(1);
        List<Throwable> errors = new CopyOnWriteArrayList<>();
        List<Thread> started = new ArrayList<>();
        for (int i = 0; i < threads; i++) {
            Thread thread = new Thread(() -> {
                try {
                    start.await();
                    action.run();
                } catch (Throwable e) {
                    errors.add(e);
                }
            });
            thread.start();
            started.add(thread);
        }
        start.countDown();
        for (Thread thread : started) {
            thread.join();
        }
        return errors;
    }

    /**
     * Starts this class in a JVM of its own with the cache folder given (none for null), without LOCALAPPDATA; "-D" and "--"
     * arguments go to the JVM (the last class path stands), "NAME=value" ones to its environment.
     */
    private static Process child(Path cache, String mode, String... arguments) throws Exception {
        List<String> command = new ArrayList<>(Arrays.asList(Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                "-cp", System.getProperty("java.class.path")));
        if (cache != null) {
            command.add("-D" + ZarnWin32.CACHE_PROPERTY + "=" + cache);
        }
        List<String> rest = new ArrayList<>(Arrays.asList(ZarnWin32Test.class.getName(), mode));
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        builder.environment().remove("LOCALAPPDATA");
        for (String argument : arguments) {
            if (argument.matches("[A-Za-z_]+=.*")) {
                builder.environment().put(argument.substring(0, argument.indexOf('=')), argument.substring(argument.indexOf('=') + 1));
            } else {
                (argument.startsWith("-D") || argument.startsWith("--") ? command : rest).add(argument);
            }
        }
        command.addAll(rest);
        return builder.start();
    }

    /** A child's output, trimmed; null (with the output shown) when it failed. */
    private static String output(Process process) throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buffer = new byte[8192];
        for (int n; (n = process.getInputStream().read(buffer)) != -1; ) {
            out.write(buffer, 0, n);
        }
        String text = new String(out.toByteArray(), StandardCharsets.UTF_8).trim();
        if (process.waitFor() != 0) {
            System.out.println("child failed:\n" + text);
            return null;
        }
        return text;
    }

    private static String[] concat(String[] first, String... more) {
        List<String> all = new ArrayList<>(Arrays.asList(first));
        all.addAll(Arrays.asList(more));
        return all.toArray(new String[0]);
    }

    private static String sha256(byte[] data) throws Exception {
        StringBuilder hex = new StringBuilder();
        for (byte b : MessageDigest.getInstance("SHA-256").digest(data)) {
            hex.append(String.format("%02x", b));
        }
        return hex.toString();
    }
}
