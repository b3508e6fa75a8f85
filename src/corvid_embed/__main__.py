"""python -m corvid_embed: the corvid-embed command."""

from corvid_embed.command import main

if __name__ == "__main__":
    main()
