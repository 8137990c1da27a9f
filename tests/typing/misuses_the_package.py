import vs30amp

vs30amp.amplification(300, 760, 0.1, check_ranges="yes")
