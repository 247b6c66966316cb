package com.zarn.kelda.dravik.common.win32;

import java.io.Closeable;
import java.io.File;
import java.io.FileInputStream;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.OverlappingFileLockException;
import java.nio.charset.Charset;
import java.nio.file.AccessDeniedException;
import java.nio.file.CopyOption;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.EnumSet;
import java.util.List;
import java.util.Objects;
import java.util.Set;
import java.util.concurrent.ThreadLocalRandom;

/**
 * The cache folder of the jar's libraries: {@code <root>/<version>/<folder>/}, where a copy of the
 * jar's library is written, verified, held until it is loaded, and cleaned away when old.
 *
 * <p>Below the root, which is resolved to its real path, no folder and no file that the loader
 * uses may be a link or a junction, and every folder must be this account's alone: Windows
 * resolves a path again when it loads a DLL, so a name that another process re-aims or swaps
 * between the check and the load would have it load a file that was never checked. What ties the
 * path that System.load gets to the file hashed: the file is held (see {@link Held}), so that no
 * other process may write, rename or delete it; once it is held, every folder from the file up to
 * the root is checked again (a plain folder, of this account alone), and the root's name must
 * still lead to the same root. Windows renames or deletes a name only through a handle opened
 * with DELETE access ([MS-FSA] 2.1.5.15.11), which a folder's access control list grants, or
 * the parent's FILE_DELETE_CHILD; with the owner the only entry in every folder below the root,
 * no other account can rename, replace or add a name on the path between the check and the load.
 * The root itself is left as the user made or named it: one that another account may rename or
 * replace (DELETE on it, or FILE_DELETE_CHILD on its parent) makes no safe cache.
 */
final class LibraryCache {
    /** A temporary file or a class loader's own copy this old is no longer being written or loaded. */
    private static final long ONE_MINUTE = 60_000;
    /** A copy of another version or build this old is no longer wanted by a JVM starting now. */
    private static final long ONE_DAY = 24 * 3600_000;
    private static final LinkOption NOFOLLOW = LinkOption.NOFOLLOW_LINKS;
    private static final boolean POSIX = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
    private static final Set<PosixFilePermission> OWNER_ONLY = PosixFilePermissions.fromString("rwx------");

    /** The root as named, and where the name came from. */
    private final String[] named;
    private final Path root;
    /** The root's file key on POSIX systems, to tell it from a folder put in its place; null on Windows. */
    private final Object rootKey;
    private final Path dir;
    /** The account this process acts as, as the owner of what it creates. */
    private final UserPrincipal owner;

    private LibraryCache(String[] named, Path root, Path dir, UserPrincipal owner) throws IOException {
        this.named = named;
        this.root = root;
        this.rootKey = Files.readAttributes(root, BasicFileAttributes.class, NOFOLLOW).fileKey();
        this.dir = dir;
        this.owner = owner;
    }

    /** The bytes of a library and their SHA-256 hash. */
    static final class Content {
        final String folder;
        final byte[] bytes;
        final byte[] hash;

        Content(String folder, byte[] bytes) {
            this.folder = folder;
            this.bytes = bytes;
            this.hash = sha256().digest(bytes);
        }

        /** The first 16 hexadecimal digits of the hash: enough to tell two builds apart. */
        String hashStart() {
            return String.format("%016x", new BigInteger(1, hash).shiftRight(192));
        }
    }

    /**
     * The cache for one version and architecture folder, its folders made where missing. Fails,
     * naming it, when one of them is a link or a junction, or not this account's alone.
     */
    static LibraryCache open(String version, String folder) throws IOException {
        String[] named = named();
        Path root = root(named);
        LibraryCache cache = new LibraryCache(named, root, root.resolve(version).resolve(folder), owner(root));
        cache.createFolders();
        return cache;
    }

    private void createFolders() throws IOException {
        createFolder(dir.getParent(), owner);
        createFolder(dir, owner);
    }

    /**
     * The account of this process: the owner of a file it has just made. Windows makes the
     * default owner of the process's token the owner of a new file: the user, a virtual service
     * account (NT SERVICE\..., IIS APPPOOL\...), LocalSystem, or for an elevated administrator
     * the user or the Administrators group, as local policy says. A name looked up instead, such
     * as user.name, may name no account (a virtual account has no bare name) or another one.
     */
    private static UserPrincipal owner(Path root) throws IOException {
        Path probe = Files.createFile(root.resolve("zarnwin32-" + unique() + ".tmp"));
        try {
            return Files.getOwner(probe, NOFOLLOW);
        } finally {
            deleteQuietly(probe);
        }
    }

    /** Where the copy of the content goes: its name carries the start of its hash. */
    Path copyName(Content content) {
        return dir.resolve("zarnwin32-" + content.hashStart() + ".dll");
    }

    /**
     * Holds a file, or gives null when there is no plain file of that name (none, or a link, which
     * a new copy of the cache then replaces), also when it turns into one while it is opened. Once
     * it is held, every folder above it is checked: each a plain folder; in the cache (cache not
     * null) each this account's alone up to the root, and the root's name still leads to it.
     */
    static Held hold(Path file, LibraryCache cache) throws IOException {
        Held held;
        try {
            held = isPlainFile(file) ? Held.open(file) : null;
        } catch (IOException e) {
            if (isPlainFile(file)) {
                throw e;
            }
            held = null;
        }
        if (held != null && !isPlainFile(file)) {
            held.close();
            held = null;
        }
        if (held == null) {
            return null;
        }
        try {
            for (Path path = file.getParent(); cache == null ? path != null : !path.equals(cache.root); path = path.getParent()) {
                if (!isPlainFolder(path)) {
                    throw linked(path);
                } else if (cache != null && !ownOnly(path, cache.owner)) {
                    throw foreign(path, cache.owner);
                }
            }
            if (cache != null && !cache.leadsToRoot()) {
                throw new IOException("the cache folder " + cache.named[0] + " (from " + cache.named[1] + ") no longer leads to "
                        + cache.root + ", where the copy was checked; nothing is loaded from it");
            }
            return held;
        } catch (IOException | RuntimeException e) {
            held.close();
            throw e;
        }
    }

    /** Whether the root's name still leads to the root: its real path, a plain folder, the same one by its file key. */
    private boolean leadsToRoot() {
        try {
            Path real = Paths.get(named[0]).toRealPath();
            return real.equals(root) && isPlainFolder(real) && Objects.equals(rootKey, Files.readAttributes(real, BasicFileAttributes.class).fileKey());
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    /**
     * Puts a copy of the content at the target: written to a temporary file of its own and renamed
     * into place in one step, so that no process ever sees a partial file. Without replace, a file
     * there already (another JVM's copy, put there first) stays, and FileAlreadyExistsException
     * says so at once. Folders that another JVM's cleaning removed meanwhile are made again, once.
     */
    void write(Path target, Content content, boolean replace) throws IOException {
        Path temporary = dir.resolve("zarnwin32-" + unique() + ".tmp");
        CopyOption[] how = replace ? new CopyOption[] {StandardCopyOption.ATOMIC_MOVE} : new CopyOption[0];
        try {
            try {
                writeNew(temporary, content);
            } catch (NoSuchFileException e) {
                createFolders();
                writeNew(temporary, content);
            }
            retried(() -> Files.move(temporary, target, how));
        } finally {
            deleteQuietly(temporary);
        }
    }

    /**
     * A copy of the content under a name of its own, for a class loader that cannot load the
     * shared copy: a JVM lets only one class loader load a given file.
     */
    Path ownCopy(Content content) throws IOException {
        Path file = dir.resolve("zarnwin32-" + content.hashStart() + "-" + unique() + ".dll");
        writeNew(file, content);
        return file;
    }

    private static void writeNew(Path file, Content content) throws IOException {
        try (FileChannel out = FileChannel.open(file, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE)) {
            for (ByteBuffer buffer = ByteBuffer.wrap(content.bytes); buffer.hasRemaining(); ) {
                out.write(buffer);
            }
        }
    }

    private static String unique() {
        return Long.toString(ThreadLocalRandom.current().nextLong() & Long.MAX_VALUE, 36);
    }

    /**
     * Removes what earlier runs left in the cache, by the names the loader gives: copies of other
     * versions and builds older than a day, class loaders' own copies and temporary files older
     * than a minute, then the version and architecture folders left empty, unless changed in the
     * last minute (another JVM may have just made one, to write into it). Nothing of another name
     * is touched. Windows refuses to delete a DLL that a process has loaded or holds, and a folder
     * that is not empty; those stay, without a word. Never touches the file loaded, nor follows a link.
     */
    void clean(Path loaded) {
        clean(root, 0, loaded, System.currentTimeMillis());
    }

    /** Cleans a folder of the cache at a depth (0 the root, 1 a version, 2 an architecture). */
    private void clean(Path folder, int depth, Path loaded, long now) {
        for (Path entry : list(folder)) {
            String name = entry.getFileName().toString();
            long changed = lastChange(entry);
            if (isPlainFolder(entry) && name.matches(depth == 0 ? "\\d+(\\.\\d+)+|unknown" : depth == 1 ? "win32-x86(-64)?" : "")) {
                clean(entry, depth + 1, loaded, now);
                if (!dir.startsWith(entry) && now - changed > ONE_MINUTE) {
                    deleteQuietly(entry);
                }
            } else if (isPlainFile(entry) && !entry.equals(loaded) && now - changed > keepFor(name, depth)) {
                deleteQuietly(entry);
            }
        }
    }

    /** How long a file of the cache is kept after its last change, by its name and depth. */
    private static long keepFor(String name, int depth) {
        if (depth == 2 && name.matches("zarnwin32-[0-9a-f]{16}\\.dll")) {
            return ONE_DAY;
        }
        if (depth == 2 && name.matches("zarnwin32-[0-9a-f]{16}-[0-9a-z]+\\.dll") || name.matches("zarnwin32-[0-9a-z]+\\.tmp")) {
            return ONE_MINUTE;
        }
        return Long.MAX_VALUE;
    }

    /** The entries of a folder; none when it cannot be listed. */
    private static List<Path> list(Path folder) {
        List<Path> entries = new ArrayList<>();
        try (DirectoryStream<Path> stream = Files.newDirectoryStream(folder)) {
            stream.forEach(entries::add);
        } catch (IOException | RuntimeException e) {
            // A folder that cannot be listed is not cleaned; the load that went before stands.
        }
        return entries;
    }

    private static long lastChange(Path file) {
        try {
            return Files.getLastModifiedTime(file, NOFOLLOW).toMillis();
        } catch (IOException e) {
            return Long.MAX_VALUE;
        }
    }

    private static void deleteQuietly(Path path) {
        try {
            Files.delete(path);
        } catch (IOException e) {
            // Loaded, held, not empty or gone already: it stays, or another JVM removed it.
        }
    }

    /** The cache root as named: the system property, else %LOCALAPPDATA%\zarnwin32, else ~/.zarnwin32; and the name's source. */
    private static String[] named() {
        String root = System.getProperty(ZarnWin32.CACHE_PROPERTY, "");
        String local = System.getenv("LOCALAPPDATA");
        if (!root.isEmpty()) {
            return new String[] {root, "-D" + ZarnWin32.CACHE_PROPERTY};
        } else if (local != null && !local.isEmpty()) {
            return new String[] {local + File.separator + "zarnwin32", "LOCALAPPDATA"};
        }
        return new String[] {System.getProperty("user.home", "") + File.separator + ".zarnwin32", "user.home"};
    }

    /**
     * The cache root, as a real path; it must be absolute, since a relative one would depend on
     * the directory the JVM happens to start in. Made when missing.
     */
    private static Path root(String[] named) throws IOException {
        Path path;
        try {
            path = Paths.get(named[0]);
        } catch (InvalidPathException e) {
            // Windows' paths take any character but a few (such as " < > | *), which Java refuses;
            // the JDK elsewhere refuses one that sun.jnu.encoding lacks.
            throw new IOException(!isWindows() ? unencodable(named[0]) : "the cache folder " + named[0] + " (from " + named[1]
                    + ") is not a path that Windows allows: " + e.getMessage() + "; start the JVM with -D" + ZarnWin32.CACHE_PROPERTY
                    + "=<an absolute folder>", e);
        }
        if (!path.isAbsolute()) {
            throw new IOException("the cache folder " + named[0] + " (from " + named[1] + ") is not an absolute path;"
                    + " start the JVM with -D" + ZarnWin32.CACHE_PROPERTY + "=<an absolute folder>");
        }
        if (!Files.isDirectory(path)) {
            Files.createDirectories(path, POSIX ? new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(OWNER_ONLY)} : new FileAttribute<?>[0]);
        }
        // JDK 8 to 16 load a library by its canonical path, in which Windows' 8.3 short names are
        // long again: the real path is the one to check.
        Path real = path.toRealPath();
        encodable(real.toString());
        return real;
    }

    private static boolean isWindows() {
        return System.getProperty("os.name", "").startsWith("Windows");
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
        boolean wide = isWindows() && Double.parseDouble(System.getProperty("java.class.version", "52")) >= 61;
        if (encoding == null || wide || !Charset.isSupported(encoding) || Charset.forName(encoding).newEncoder().canEncode(path)) {
            return path;
        }
        throw new IOException(unencodable(path));
    }

    private static String unencodable(String path) {
        return "the cache folder's path " + path + " has characters that this JVM's sun.jnu.encoding ("
                + System.getProperty("sun.jnu.encoding") + ") lacks, so the JVM cannot load a library from it;"
                + " start the JVM with -D" + ZarnWin32.CACHE_PROPERTY + "=<a folder whose path has none>";
    }

    /**
     * Makes a folder of the cache where it is missing, for the owner alone. One that is there must
     * be a plain folder that the owner owns; it is made the owner's alone when others may write.
     */
    private static void createFolder(Path folder, UserPrincipal owner) throws IOException {
        try {
            Files.createDirectory(folder, ownerOnly(owner));
            protect(folder, owner);
        } catch (FileAlreadyExistsException e) {
            // There already, or made by another JVM at the same moment: checked below.
        }
        if (!isPlainFolder(folder)) {
            throw linked(folder);
        } else if (!ownOnly(folder, owner)) {
            if (!owner.equals(ownerOf(folder))) {
                throw foreign(folder, owner);
            }
            protect(folder, owner);
        }
    }

    /** An owner-only folder as it is made: mode 0700, or on Windows the access control list of {@link #protect}. */
    private static FileAttribute<?> ownerOnly(UserPrincipal owner) {
        if (POSIX) {
            return PosixFilePermissions.asFileAttribute(OWNER_ONLY);
        }
        List<AclEntry> acl = ownerAcl(owner);
        return new FileAttribute<List<AclEntry>>() {
            @Override
            public String name() {
                return "acl:acl";
            }

            @Override
            public List<AclEntry> value() {
                return acl;
            }
        };
    }

    /**
     * Makes a folder of the owner's its alone: mode 0700; on Windows an access control list with
     * one entry, full control for the owner, inherited by what the folder holds. Windows merges
     * the parent's inheritable entries into the one given at creation; AclFileAttributeView.setAcl
     * sets the list with SetFileSecurity, which merges nothing (Windows applies inheritance only
     * in SetNamedSecurityInfo and SetSecurityInfo), so the folder has this one entry alone.
     */
    private static void protect(Path folder, UserPrincipal owner) throws IOException {
        if (POSIX) {
            Files.getFileAttributeView(folder, PosixFileAttributeView.class, NOFOLLOW).setPermissions(OWNER_ONLY);
        } else {
            Files.getFileAttributeView(folder, AclFileAttributeView.class, NOFOLLOW).setAcl(ownerAcl(owner));
        }
    }

    private static List<AclEntry> ownerAcl(UserPrincipal owner) {
        return Collections.singletonList(AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(owner)
                .setPermissions(EnumSet.allOf(AclEntryPermission.class)).setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build());
    }

    /**
     * Whether the folder is the owner's alone: the owner owns it and no other account may write to
     * it. POSIX: no write for group or others. Windows: every entry that allows anything is the
     * owner's, and there is one at least (AclFileAttributeView reads a missing list, which allows
     * everyone everything, as an empty one; it reads only allow and deny entries).
     */
    private static boolean ownOnly(Path folder, UserPrincipal owner) {
        try {
            if (POSIX) {
                PosixFileAttributes attributes = Files.readAttributes(folder, PosixFileAttributes.class, NOFOLLOW);
                return attributes.owner().equals(owner)
                        && Collections.disjoint(attributes.permissions(), EnumSet.of(PosixFilePermission.GROUP_WRITE, PosixFilePermission.OTHERS_WRITE));
            }
            AclFileAttributeView view = Files.getFileAttributeView(folder, AclFileAttributeView.class, NOFOLLOW);
            List<AclEntry> acl = view.getAcl();
            return view.getOwner().equals(owner) && !acl.isEmpty() && acl.stream().allMatch(e -> e.type() != AclEntryType.ALLOW || e.principal().equals(owner));
        } catch (IOException | RuntimeException e) {
            // Not even readable by this account: not its own.
            return false;
        }
    }

    private static UserPrincipal ownerOf(Path path) {
        try {
            return Files.getOwner(path, NOFOLLOW);
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    private static IOException foreign(Path folder, UserPrincipal owner) {
        UserPrincipal by = ownerOf(folder);
        return new IOException(folder + " belongs to " + (by == null ? "an account this one cannot see" : by.getName()) + ", or other accounts than "
                + owner.getName() + ", this process's, may write"
                + " to it; nothing is loaded through it. Remove it, or start the JVM with -D" + ZarnWin32.CACHE_PROPERTY
                + "=<a folder of this account's own>");
    }

    /**
     * A folder, not a link to one. Java reports a Windows junction (a mount point) as "other", and
     * some versions as a folder too; a symbolic link as neither.
     */
    private static boolean isPlainFolder(Path path) {
        try {
            BasicFileAttributes attributes = Files.readAttributes(path, BasicFileAttributes.class, NOFOLLOW);
            return attributes.isDirectory() && !attributes.isOther();
        } catch (IOException e) {
            return false;
        }
    }

    private static boolean isPlainFile(Path path) {
        try {
            return Files.readAttributes(path, BasicFileAttributes.class, NOFOLLOW).isRegularFile();
        } catch (IOException e) {
            return false;
        }
    }

    private static boolean isLink(String path) {
        try {
            BasicFileAttributes attributes = Files.readAttributes(Paths.get(path), BasicFileAttributes.class, NOFOLLOW);
            return attributes.isSymbolicLink() || attributes.isOther();
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    private static IOException linked(Path path) {
        return new IOException(path + " is a link, a junction or not a plain folder or file; nothing is loaded through it."
                + " Remove it, or start the JVM with -D" + ZarnWin32.CACHE_PROPERTY + "=<another folder>");
    }

    /** An action on a file that Windows may refuse for a moment. */
    interface FileAction<T> {
        T run() throws IOException;
    }

    /**
     * Runs the action, again after a short wait while it fails for a moment (see momentary): up to
     * 1.27 s in all, then the last failure stands.
     */
    static <T> T retried(FileAction<T> action) throws IOException {
        for (long wait = 10; ; wait *= 2) {
            try {
                return action.run();
            } catch (IOException | UnsatisfiedLinkError e) {
                if (!momentary(e) || wait > 640) {
                    throw e;
                }
            }
            pause(wait);
        }
    }

    /**
     * Whether a failure may pass in a moment, as when another program has the file open (a virus
     * scanner or an indexer opens a new file as soon as it is written). On Windows Java reports
     * access denied as AccessDeniedException, and a sharing or lock violation as a plain
     * FileSystemException, the class of every error it has no class of its own for; so too a link
     * that an open without following links meets (WindowsChannelFactory: "File is symbolic link"),
     * which is no moment's. System.load of a checked file: HotSpot words Windows' reason in the
     * user's language, so a sharing violation (error 32: a sync agent has the file open for
     * writing) cannot be told by its text; every failure but another class loader's is momentary.
     */
    static boolean momentary(Throwable e) {
        if (e instanceof UnsatisfiedLinkError) {
            return !loadedByAnotherClassLoader((UnsatisfiedLinkError) e);
        }
        return e instanceof AccessDeniedException
                || e.getClass() == FileSystemException.class && !isLink(String.valueOf(((FileSystemException) e).getFile()));
    }

    /** The JDK's words, from Java 8 on, when another class loader has loaded the file or is loading it. */
    static boolean loadedByAnotherClassLoader(UnsatisfiedLinkError e) {
        return String.valueOf(e.getMessage()).contains(" in another classloader");
    }

    private static void pause(long millis) throws IOException {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IOException("interrupted while waiting for a file", e);
        }
    }

    static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }

    /**
     * A file opened so that no other process can write, rename, replace or delete it until it is
     * closed, and read through that very handle. With the options of com.sun.nio.file (in the
     * module jdk.unsupported, which HotSpot JVMs have on the class path, but which a modular
     * application or a jlink runtime has only when it names it), the file is opened without write
     * and delete sharing, and without following a link: Windows then refuses every other open for
     * writing or deleting it. Without them, java.io opens it without delete sharing (no rename,
     * replacement or deletion), and a shared lock over the whole file makes Windows refuse every
     * write to it; byte-range locks do not cover writes through a mapped view of a file that
     * another process had opened for writing. Windows' loader opens a DLL for reading and maps it,
     * which both kinds of handle allow: they share reading, and locks do not apply to mapped views.
     */
    static final class Held implements Closeable {
        private static final OpenOption[] NO_SHARING = noSharing(System.getProperty("os.name", ""));
        private final FileChannel channel;

        private Held(FileChannel channel) {
            this.channel = channel;
        }

        /** Opens and holds the file; waits out a moment's refusal (see retried). */
        static Held open(Path file) throws IOException {
            return retried(() -> NO_SHARING != null ? new Held(FileChannel.open(file, NO_SHARING)) : locked(file));
        }

        private static Held locked(Path file) throws IOException {
            FileInputStream in;
            try {
                in = new FileInputStream(file.toFile());
            } catch (FileNotFoundException e) {
                // java.io reports every failure so; the JDK's own classes tell a missing file.
                throw Files.exists(file, NOFOLLOW) ? new FileSystemException(file.toString(), null, e.getMessage())
                        : new NoSuchFileException(file.toString());
            }
            try {
                for (;;) {
                    try {
                        in.getChannel().lock(0, Long.MAX_VALUE, true);
                        return new Held(in.getChannel());
                    } catch (OverlappingFileLockException e) {
                        // Another thread of this JVM holds it, another class loader's load: waited
                        // out, however long that one's System.load and a scanner's check take.
                        pause(10);
                    }
                }
            } catch (IOException | RuntimeException e) {
                in.close();
                throw e;
            }
        }

        /**
         * The options that open a file without write and delete sharing, on Windows, when this JVM
         * has them; null otherwise. The file systems of the JDK elsewhere refuse them.
         */
        static OpenOption[] noSharing(String osName) {
            if (!osName.startsWith("Windows")) {
                return null;
            }
            try {
                Class<?> extended = Class.forName("com.sun.nio.file.ExtendedOpenOption");
                return new OpenOption[] {StandardOpenOption.READ, (OpenOption) extended.getField("NOSHARE_WRITE").get(null),
                    (OpenOption) extended.getField("NOSHARE_DELETE").get(null), NOFOLLOW};
            } catch (ReflectiveOperationException | ClassCastException e) {
                return null;
            }
        }

        /** Whether the file's content is exactly the library: sizes first, then the hash. */
        boolean contains(Content library) throws IOException {
            if (channel.size() != library.bytes.length) {
                return false;
            }
            MessageDigest digest = sha256();
            ByteBuffer buffer = ByteBuffer.allocate(65536);
            for (long position = 0; channel.read(buffer, position) > 0; position += buffer.position(), buffer.clear()) {
                buffer.flip();
                digest.update(buffer);
            }
            return MessageDigest.isEqual(digest.digest(), library.hash);
        }

        @Override
        public void close() throws IOException {
            channel.close();
        }
    }
}
