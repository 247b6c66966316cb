package com.zarn.kelda.dravik.common.win32;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.channels.OverlappingFileLockException;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;

/**
 * Loads zarnwin32.dll into the JVM, from the jar itself when need be: call {@link #load()} once
 * before the first call to any method of the library's classes.
 *
 * <p>The jar carries the library for 32-bit JVMs ({@code win32-x86/zarnwin32.dll}) and for 64-bit
 * JVMs ({@code win32-x86-64/zarnwin32.dll}). The one that fits this JVM is copied into a cache
 * folder of the user, as
 * {@code %LOCALAPPDATA%\zarnwin32\<version>\<win32-x86 or win32-x86-64>\zarnwin32-<hash>.dll},
 * where {@code <hash>} is the start of the SHA-256 hash of its content, and loaded from there.
 * Without {@code LOCALAPPDATA} the cache is {@code .zarnwin32} in {@code user.home}; the system
 * property {@code zarnwin32.cache} names another folder in place of
 * {@code %LOCALAPPDATA%\zarnwin32}. A copy already in the cache is used when its whole SHA-256 hash
 * is that of the jar's library, and replaced when it is not. A {@code zarnwin32.dll} on
 * {@code java.library.path} is loaded in place of the copy only when it is byte for byte the
 * jar's library; the system property {@code zarnwin32.library} names one file to load instead.
 */
public final class ZarnWin32 {
    /** The system property that names the cache folder. */
    static final String CACHE_PROPERTY = "zarnwin32.cache";
    /** The system property that names the one library file to load, in place of the jar's. */
    static final String LIBRARY_PROPERTY = "zarnwin32.library";
    private static final String NAME = "zarnwin32";
    private static final String LIBRARY_FILE = "zarnwin32.dll";
    /** The folders of the jar that hold a library, in the order the error message lists them. */
    private static final String[] FOLDERS = {"win32-x86", "win32-x86-64"};
    /** A temporary file left this long is no longer being written, even on a slow disk. */
    private static final long LEFTOVER_MILLIS = 60_000;

    /** How a library file gets into the JVM; tests give a stand-in for System.load. */
    interface Linker {
        void load(String absolutePath);

        void loadLibrary(String name);
    }

    /** One way to load the library: returns when it loaded it, throws what stopped it otherwise. */
    private interface Attempt {
        void run() throws Exception;
    }

    private static final ZarnWin32 JVM = new ZarnWin32(new Linker() {
        @Override
        public void load(String absolutePath) {
            System.load(absolutePath);
        }

        @Override
        public void loadLibrary(String name) {
            System.loadLibrary(name);
        }
    });

    private final Linker linker;
    private boolean loaded;

    ZarnWin32(Linker linker) {
        this.linker = linker;
    }

    /**
     * Loads the library, once: later calls return at once. The first of these that applies decides
     * where it comes from:
     * <ol>
     * <li>the system property {@code zarnwin32.library}: exactly the file it names (made absolute),
     *     and nothing else;</li>
     * <li>the library this jar carries for the JVM's architecture (the system property
     *     {@code os.arch}: x86, i386 to i686, amd64, x86_64): a {@code zarnwin32.dll} in a folder of
     *     {@code java.library.path} whose content is the very same, else the copy in the cache
     *     folder;</li>
     * <li>{@code System.loadLibrary("zarnwin32")}, when this jar carries no library for the
     *     architecture.</li>
     * </ol>
     * A file that is checked against the jar's library is kept open, so that no other process can
     * change it, until it is loaded. Safe to call from several threads, and from several processes
     * that share the cache folder.
     *
     * @throws UnsatisfiedLinkError when no library could be loaded; its message lists what was
     *     tried, in order, and each failed attempt is one of its suppressed exceptions
     */
    public static void load() {
        JVM.loadOnce();
    }

    synchronized void loadOnce() {
        if (loaded) {
            return;
        }
        List<String> tried = new ArrayList<>();
        List<Throwable> failures = new ArrayList<>();
        String named = System.getProperty(LIBRARY_PROPERTY, "");
        String arch = System.getProperty("os.arch", "");
        String folder = folderFor(arch);
        if (!named.isEmpty()) {
            loaded = attempt("-D" + LIBRARY_PROPERTY + "=" + named, () -> loadNamed(named), tried, failures);
        } else if (folder != null && ZarnWin32.class.getResource("/" + folder + "/" + LIBRARY_FILE) != null) {
            String jars = "the jar's " + folder + "/" + LIBRARY_FILE;
            loaded = attempt("a copy of " + jars + " on java.library.path", () -> loadCopyOnLibraryPath(folder), tried, failures)
                    || attempt(jars + " from the cache", () -> loadFromCache(folder), tried, failures);
        } else {
            loaded = attempt("System.loadLibrary(\"" + NAME + "\"), as this jar has no library for os.arch \"" + arch
                    + "\" (it carries " + carried() + ")", () -> linker.loadLibrary(NAME), tried, failures);
        }
        if (!loaded) {
            StringBuilder message = new StringBuilder("zarnwin32 could not be loaded. Tried, in order:");
            for (int i = 0; i < tried.size(); i++) {
                message.append('\n').append(i + 1).append(". ").append(tried.get(i));
            }
            UnsatisfiedLinkError error = new UnsatisfiedLinkError(message.toString());
            for (Throwable failure : failures) {
                error.addSuppressed(failure);
            }
            throw error;
        }
    }

    /** Runs one attempt; when it fails, notes "what: why" and keeps what it threw. */
    private static boolean attempt(String what, Attempt attempt, List<String> tried, List<Throwable> failures) {
        try {
            attempt.run();
            return true;
        } catch (Exception | UnsatisfiedLinkError e) {
            // The loader's own reasons are plain IOExceptions; any other exception keeps its class name.
            boolean plain = e instanceof UnsatisfiedLinkError || e.getClass() == IOException.class;
            String why = plain ? String.valueOf(e.getMessage()) : e.toString();
            tried.add(what + ": " + why);
            failures.add(e);
            return false;
        }
    }

    /**
     * The file that zarnwin32.library names. System.load needs an absolute path; Windows would
     * look for a relative one along the DLL search path.
     */
    private void loadNamed(String named) {
        linker.load(Paths.get(named).toAbsolutePath().normalize().toString());
    }

    /**
     * A library in a folder of java.library.path, under the name System.loadLibrary would look
     * for, when its content is byte for byte the jar's. On Windows that path holds by default the
     * JVM's folder, the Windows folders, every PATH entry and the current directory: a library of
     * another version left in any of them is passed over.
     */
    private void loadCopyOnLibraryPath(String folder) throws IOException {
        byte[] hash = sha256(library(folder));
        String name = System.mapLibraryName(NAME);
        List<Path> others = new ArrayList<>();
        for (String entry : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
            Path file;
            try {
                file = Paths.get(entry.isEmpty() ? "." : entry, name).toAbsolutePath().normalize();
            } catch (InvalidPathException e) {
                continue;
            }
            if (Files.isRegularFile(file) && !others.contains(file)) {
                if (loadIfHash(file, hash)) {
                    return;
                }
                others.add(file);
            }
        }
        throw new IOException(others.isEmpty() ? "there is none" : "not used, the content differs: " + others);
    }

    /** The jar's library, copied to the cache when need be, and loaded from there. */
    private void loadFromCache(String folder) throws IOException {
        byte[] library = library(folder);
        byte[] hash = sha256(library);
        // Two tries: another process may replace a damaged copy between the copy and the load.
        for (int i = 0; i < 2; i++) {
            if (loadIfHash(extract(folder, library, hash, cacheFolder()), hash)) {
                return;
            }
        }
        throw new IOException("the copy in the cache was changed again before it could be loaded");
    }

    /**
     * Opens the file so that no other process can change it, hashes what this very handle reads
     * and, when it matches, loads the file before the handle is closed: the file loaded is the file
     * checked. Gives false, having loaded nothing, when the content differs.
     */
    private boolean loadIfHash(Path file, byte[] hash) throws IOException {
        try (FileChannel held = FileChannel.open(file, holdOptions(System.getProperty("os.name", "")))) {
            MessageDigest digest = sha256();
            ByteBuffer buffer = ByteBuffer.allocate(65536);
            while (held.read(buffer) != -1) {
                buffer.flip();
                digest.update(buffer);
                buffer.clear();
            }
            if (!MessageDigest.isEqual(digest.digest(), hash)) {
                return false;
            }
            linker.load(file.toString());
            return true;
        }
    }

    /**
     * Read access, and on Windows no write or delete sharing: while the handle is open, Windows
     * refuses every other open for writing, renaming or deleting the file, from any process.
     * Windows' loader opens a DLL for read and execute access, sharing read and delete, which a
     * handle that shares read allows. The JVM takes these options from com.sun.nio.file, which
     * HotSpot JVMs have since Java 7 and which a JVM need not have; the Unix file systems of the
     * JDK refuse them.
     */
    static OpenOption[] holdOptions(String osName) {
        List<OpenOption> options = new ArrayList<>();
        options.add(StandardOpenOption.READ);
        if (osName.startsWith("Windows")) {
            try {
                Class<?> extended = Class.forName("com.sun.nio.file.ExtendedOpenOption");
                options.add((OpenOption) extended.getField("NOSHARE_WRITE").get(null));
                options.add((OpenOption) extended.getField("NOSHARE_DELETE").get(null));
            } catch (ReflectiveOperationException | ClassCastException e) {
                options.subList(1, options.size()).clear();
            }
        }
        return options.toArray(new OpenOption[0]);
    }

    /**
     * The version of this jar and of the libraries it carries, as it stands in the jar's manifest
     * (Implementation-Version) and in the version resource of each library.
     *
     * @return the version, for example {@code "1.0.0"}; {@code "unknown"} for classes that were
     *     not built into a jar by the library's build
     */
    public static String version() {
        try (InputStream in = ZarnWin32.class.getResourceAsStream("zarnwin32.version")) {
            return in == null ? "unknown" : new String(readAll(in), StandardCharsets.US_ASCII).trim();
        } catch (IOException e) {
            return "unknown";
        }
    }

    /** The jar's folder for a value of os.arch, or null for an architecture without a library. */
    static String folderFor(String osArch) {
        switch (osArch) {
            case "x86":
            case "i386":
            case "i486":
            case "i586":
            case "i686":
                return "win32-x86";
            case "amd64":
            case "x86_64":
                return "win32-x86-64";
            default:
                return null;
        }
    }

    /**
     * The cache folder's root, absolute: the system property, else %LOCALAPPDATA%\zarnwin32, else
     * ~/.zarnwin32. System.load refuses a relative path, so a relative folder is taken from the
     * current directory once, here.
     */
    static Path cacheFolder() throws IOException {
        String chosen = System.getProperty(CACHE_PROPERTY, "");
        String local = System.getenv("LOCALAPPDATA");
        String root = !chosen.isEmpty() ? chosen
                : local != null && !local.isEmpty() ? local + File.separator + NAME
                : System.getProperty("user.home") + File.separator + "." + NAME;
        Path absolute;
        try {
            absolute = Paths.get(encodable(root)).toAbsolutePath().normalize();
        } catch (InvalidPathException e) {
            throw new IOException(unencodable(root), e);
        }
        encodable(absolute.toString());
        return absolute;
    }

    /**
     * The path, when the JVM can hand it to Windows' loader. Up to Java 16, System.load on Windows
     * turns the path into bytes of the encoding sun.jnu.encoding names (the ANSI code page), and
     * Windows looks for the file by those bytes: a character the code page lacks (a Cyrillic user
     * name on an English Windows) makes a path that names no file. Java 17 passes the path in
     * UTF-16. The JDK on Unix passes every path as bytes of sun.jnu.encoding.
     */
    private static String encodable(String path) throws IOException {
        String encoding = System.getProperty("sun.jnu.encoding");
        // Class file version 61 is Java 17's.
        boolean wide = System.getProperty("os.name", "").startsWith("Windows")
                && Double.parseDouble(System.getProperty("java.class.version", "52")) >= 61;
        if (encoding == null || wide || !Charset.isSupported(encoding) || Charset.forName(encoding).newEncoder().canEncode(path)) {
            return path;
        }
        throw new IOException(unencodable(path));
    }

    private static String unencodable(String path) {
        return "the cache folder's path " + path + " has characters that this JVM's sun.jnu.encoding ("
                + System.getProperty("sun.jnu.encoding") + ") lacks, so the JVM cannot load a library from it;"
                + " start the JVM with -D" + CACHE_PROPERTY + "=<a folder whose path has none>";
    }

    /** For tests: {@link #extract(String, byte[], byte[], Path)} of the jar's library of the folder. */
    static Path extract(String folder, Path cacheRoot) throws IOException {
        byte[] library = library(folder);
        return extract(folder, library, sha256(library), cacheRoot);
    }

    /**
     * Gives the path of a file in the cache whose content is the jar's library of the folder:
     * the one there when its hash matches, else a new copy. A copy is written to a file of its
     * own and renamed into place in one step, so that no process ever sees a partial file. The
     * hash in the name keeps apart the libraries of two builds that carry the same version.
     */
    private static Path extract(String folder, byte[] library, byte[] hash, Path cacheRoot) throws IOException {
        Path dir = cacheRoot.resolve(version()).resolve(folder);
        Path target = dir.resolve(String.format("zarnwin32-%016x.dll", new BigInteger(1, hash).shiftRight(192)));
        removeLeftovers(dir);
        if (hasHash(target, hash)) {
            return target;
        }
        Files.createDirectories(dir);
        Path temporary = Files.createTempFile(dir, "zarnwin32-", ".tmp");
        try {
            try (FileChannel out = FileChannel.open(temporary, StandardOpenOption.WRITE)) {
                // Locked while it is written (closing the channel releases the lock), so that
                // removeLeftovers in another process leaves it alone.
                out.lock();
                for (ByteBuffer buffer = ByteBuffer.wrap(library); buffer.hasRemaining(); ) {
                    out.write(buffer);
                }
            }
            // Renamed once unlocked: Windows refuses other handles' reads of a locked range, and
            // another process may read the file under its new name at once. removeLeftovers
            // leaves a file this young alone.
            try {
                Files.move(temporary, target, StandardCopyOption.ATOMIC_MOVE);
            } catch (IOException e) {
                // Windows refuses to replace a DLL that a process has loaded or holds open:
                // another process may have put its copy there first. That copy is as good as ours.
                if (!hasHash(target, hash)) {
                    throw e;
                }
            }
        } finally {
            Files.deleteIfExists(temporary);
        }
        return target;
    }

    /**
     * Deletes the temporary files that a JVM ended while copying left behind. extract holds an
     * exclusive lock on its temporary file from just after it is created until it is renamed;
     * both Windows (LockFileEx) and Unix (fcntl) release a process's locks when it ends, and
     * tryLock fails on a file that another process holds locked. A file is also left alone for a
     * minute after its last change, which covers the moment between its creation and its lock.
     * The JVM opens files sharing delete on Windows, so a locked file can still be deleted by path.
     */
    private static void removeLeftovers(Path dir) {
        if (!Files.isDirectory(dir)) {
            return;
        }
        try (DirectoryStream<Path> temporaries = Files.newDirectoryStream(dir, "zarnwin32-*.tmp")) {
            for (Path temporary : temporaries) {
                // Age first: a thread of this JVM that locks a file another thread has just
                // created would make that thread's lock() throw OverlappingFileLockException.
                try {
                    if (Files.getLastModifiedTime(temporary).toMillis() > System.currentTimeMillis() - LEFTOVER_MILLIS) {
                        continue;
                    }
                    try (FileChannel channel = FileChannel.open(temporary, StandardOpenOption.WRITE);
                         FileLock lock = channel.tryLock()) {
                        if (lock != null) {
                            Files.delete(temporary);
                        }
                    }
                } catch (IOException | OverlappingFileLockException e) {
                    // Being written, or gone already: not ours to remove.
                }
            }
        } catch (IOException e) {
            // A folder that cannot be listed gets no cleaning; the copy itself still goes ahead.
        }
    }

    private static boolean hasHash(Path file, byte[] hash) throws IOException {
        return Files.isRegularFile(file) && MessageDigest.isEqual(sha256(Files.readAllBytes(file)), hash);
    }

    private static byte[] library(String folder) throws IOException {
        try (InputStream in = ZarnWin32.class.getResourceAsStream("/" + folder + "/" + LIBRARY_FILE)) {
            if (in == null) {
                throw new IOException("this jar has no " + folder + "/" + LIBRARY_FILE);
            }
            return readAll(in);
        }
    }

    private static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }

    private static byte[] sha256(byte[] data) {
        return sha256().digest(data);
    }

    private static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buffer = new byte[65536];
        for (int n; (n = in.read(buffer)) != -1; ) {
            out.write(buffer, 0, n);
        }
        return out.toByteArray();
    }

    /** The architectures this jar carries a library for, as folder names. */
    private static String carried() {
        StringBuilder list = new StringBuilder();
        for (String folder : FOLDERS) {
            if (ZarnWin32.class.getResource("/" + folder + "/" + LIBRARY_FILE) != null) {
                list.append(list.length() == 0 ? "" : ", ").append(folder);
            }
        }
        return list.length() == 0 ? "no library" : list.toString();
    }
}
